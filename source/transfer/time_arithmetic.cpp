#include "transfer/time_arithmetic.h"

#include <cstdint>

namespace {

constexpr std::int64_t kMicrosecondsPerSecond = 1000000;

platform::TimeVal MakeTime(std::int64_t seconds, std::int64_t microseconds) {
    return {static_cast<std::int32_t>(seconds), static_cast<std::int32_t>(microseconds)};
}

}  // namespace

platform::TimeVal GetTickTime() {
    const std::uint32_t ms = platform::TickCount();
    return MakeTime(ms / 1000u, (ms % 1000u) * 1000u);
}

platform::TimeVal NormalizeTime(platform::TimeVal time) {
    if (time.tv_usec >= kMicrosecondsPerSecond) {
        return MakeTime(std::int64_t{time.tv_sec} + 1, time.tv_usec - kMicrosecondsPerSecond);
    }
    return time;
}

int CompareTime(platform::TimeVal a, platform::TimeVal b) {
    if (a.tv_sec != b.tv_sec)
        return a.tv_sec > b.tv_sec ? 1 : -1;
    if (a.tv_usec != b.tv_usec)
        return a.tv_usec > b.tv_usec ? 1 : -1;
    return 0;
}

platform::TimeVal SubtractTime(platform::TimeVal a, platform::TimeVal b) {
    const std::int64_t seconds = std::int64_t{a.tv_sec} - b.tv_sec;
    const std::int64_t microseconds = std::int64_t{a.tv_usec} - b.tv_usec;
    if (microseconds < 0)
        return MakeTime(seconds - 1, microseconds + kMicrosecondsPerSecond);
    return NormalizeTime(MakeTime(seconds, microseconds));
}

bool ChargeBudget(platform::TimeVal& budget, platform::TimeVal elapsed) {
    if (CompareTime(budget, elapsed) != 1)
        return false;
    budget = SubtractTime(budget, elapsed);
    return true;
}
