#include "transfer/name_lookup.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "transfer/time_arithmetic.h"
#include "vocabulary/cancel_request.h"

namespace {

constexpr std::chrono::milliseconds kCancelPoll{250};

// What the lookup thread and the waiting one share; whichever lets go last
// frees it.
struct Lookup {
    std::mutex lock;
    std::condition_variable answered;
    bool done = false;
    std::vector<platform::IpAddress> addresses;
};

std::chrono::milliseconds Milliseconds(platform::TimeVal time) {
    return std::chrono::milliseconds(std::int64_t{time.tv_sec} * 1000 + time.tv_usec / 1000);
}

// Starts the lookup; false when no thread can be made for it.
bool StartLookup(const std::shared_ptr<Lookup>& lookup, const std::string& name) {
    try {
        std::thread([lookup, name] {
            std::vector<platform::IpAddress> found = platform::ResolveHost(name);
            const std::lock_guard<std::mutex> hold(lookup->lock);
            lookup->addresses = std::move(found);
            lookup->done = true;
            lookup->answered.notify_all();
        }).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace

ErrorCode LookUpName(const std::string& name, platform::TimeVal& budget,
                     std::vector<platform::IpAddress>& addresses) {
    const auto lookup = std::make_shared<Lookup>();
    // Without a thread to spare, the lookup is made here, as it always was.
    if (!StartLookup(lookup, name)) {
        addresses = platform::ResolveHost(name);
        return kOk;
    }
    const platform::TimeVal start = GetTickTime();
    std::unique_lock<std::mutex> hold(lookup->lock);
    while (!lookup->done) {
        if (CancelRequested())
            return kCancelled;
        const platform::TimeVal spent = SubtractTime(GetTickTime(), start);
        if (CompareTime(spent, budget) >= 0)
            return kUrlUnusableOrWaitFailed;
        lookup->answered.wait_for(hold,
                                  std::min(kCancelPoll, Milliseconds(SubtractTime(budget, spent))));
    }
    addresses = std::move(lookup->addresses);
    if (!ChargeBudget(budget, SubtractTime(GetTickTime(), start)))
        return kUrlUnusableOrWaitFailed;
    return kOk;
}
