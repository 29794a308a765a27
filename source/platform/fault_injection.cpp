// Test-only hooks shared by every platform implementation: injected faults,
// an injected free-space answer, skipped syncs and the disk observer.
#include "platform/fault_injection_internal.h"

#include <array>
#include <atomic>
#include <optional>

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

std::atomic<std::int64_t> injectedSpace{-1};
std::atomic<bool> syncsSkipped{false};
std::atomic<DiskObserver*> observer{nullptr};

}  // namespace

void InjectFaultAt(FaultKind kind, std::uint64_t nth) {
    FaultCounter& counter = CounterOf(kind);
    counter.failAt = nth == 0 ? 0 : counter.calls + nth;
}

void InjectAvailableSpace(std::int64_t bytes) {
    injectedSpace = bytes;
}

void ResetFaults() {
    for (FaultCounter& counter : Counters()) {
        counter.calls = 0;
        counter.failAt = 0;
    }
    injectedSpace = -1;
}

void SkipSyncs(bool skip) {
    syncsSkipped = skip;
}

void ObserveDisk(DiskObserver* newObserver) {
    observer = newObserver;
}

std::uint64_t FaultCallCount(FaultKind kind) {
    return CounterOf(kind).calls;
}

bool ShouldFail(FaultKind kind) {
    FaultCounter& counter = CounterOf(kind);
    const std::uint64_t call = ++counter.calls;
    return counter.failAt != 0 && call == counter.failAt;
}

std::optional<std::int64_t> InjectedAvailableSpace() {
    const std::int64_t bytes = injectedSpace;
    return bytes < 0 ? std::nullopt : std::optional(bytes);
}

bool SyncsSkipped() {
    return syncsSkipped;
}

void Notify(const DiskEvent& event) {
    if (DiskObserver* current = observer)
        current->Observe(event);
}

bool DiskObserved() {
    return observer != nullptr;
}

}  // namespace platform
