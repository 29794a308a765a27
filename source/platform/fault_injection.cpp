// Test-only fault hook shared by every platform implementation.
#include "platform/fault_injection_internal.h"

#include <array>
#include <atomic>

namespace platform {
namespace {

struct FaultCounter {
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::uint64_t> failAt{0};
};

std::array<FaultCounter, kFaultKindCount>& Counters() {
    static std::array<FaultCounter, kFaultKindCount> counters;
    return counters;
}

FaultCounter& CounterOf(FaultKind kind) {
    return Counters()[static_cast<int>(kind)];
}

}  // namespace

void InjectFaultAt(FaultKind kind, std::uint64_t nth) {
    FaultCounter& counter = CounterOf(kind);
    counter.failAt = nth == 0 ? 0 : counter.calls + nth;
}

void ResetFaults() {
    for (FaultCounter& counter : Counters()) {
        counter.calls = 0;
        counter.failAt = 0;
    }
}

std::uint64_t FaultCallCount(FaultKind kind) {
    return CounterOf(kind).calls;
}

bool ShouldFail(FaultKind kind) {
    FaultCounter& counter = CounterOf(kind);
    const std::uint64_t call = ++counter.calls;
    return counter.failAt != 0 && call == counter.failAt;
}

}  // namespace platform
