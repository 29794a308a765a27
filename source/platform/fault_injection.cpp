// Test-only hooks shared by every platform implementation: injected faults,
// an injected free-space answer, skipped syncs and the disk observer.
#include "platform/fault_injection_internal.h"

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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

// Names a test gave addresses of its own; looked up from the worker thread.
struct ResolverAnswers {
    std::mutex lock;
    struct Answer {
        std::vector<IpAddress> addresses;
        std::chrono::milliseconds delay;
    };
    std::map<std::string, Answer> byName;
};

ResolverAnswers& Answers() {
    static ResolverAnswers answers;
    return answers;
}

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
    ResolverAnswers& answers = Answers();
    const std::lock_guard<std::mutex> hold(answers.lock);
    answers.byName.clear();
}

void InjectResolvedAddresses(const std::string& name, const std::vector<IpAddress>& addresses,
                             std::chrono::milliseconds delay) {
    ResolverAnswers& answers = Answers();
    const std::lock_guard<std::mutex> hold(answers.lock);
    if (addresses.empty())
        answers.byName.erase(name);
    else
        answers.byName[name] = {addresses, delay};
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

std::optional<std::vector<IpAddress>> InjectedAddresses(const std::string& name) {
    ResolverAnswers::Answer answer;
    {
        ResolverAnswers& answers = Answers();
        const std::lock_guard<std::mutex> hold(answers.lock);
        const auto found = answers.byName.find(name);
        if (found == answers.byName.end())
            return std::nullopt;
        answer = found->second;
    }
    std::this_thread::sleep_for(answer.delay);
    return answer.addresses;
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
