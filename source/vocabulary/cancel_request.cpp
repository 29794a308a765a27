#include "vocabulary/cancel_request.h"

#include <atomic>

namespace {

// Lock-free, so that a signal handler may set it.
std::atomic<bool> cancelRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the cancel flag must be signal-safe");

}  // namespace

void RequestCancel() noexcept {
    cancelRequested = true;
}

bool CancelRequested() noexcept {
    return cancelRequested;
}

void ClearCancelRequest() noexcept {
    cancelRequested = false;
}
