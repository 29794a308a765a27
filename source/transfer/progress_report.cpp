#include "transfer/progress_report.h"

namespace {

constexpr std::uint32_t kWhole = 100;

}  // namespace

std::uint32_t DownloadPercentage(std::int64_t received, std::int64_t announcedLength) {
    if (announcedLength <= 0)
        return 0;
    const double percentage =
        static_cast<double>(received) / static_cast<double>(announcedLength) * kWhole;
    if (percentage >= kWhole)
        return kWhole;
    return static_cast<std::uint32_t>(percentage);
}

void ProgressReporter::Update(std::int64_t received) {
    const std::uint32_t percentage = DownloadPercentage(received, announcedLength_);
    if (percentage <= lastPercentage_ + 1)
        return;
    lastPercentage_ = percentage;
    callback_(PercentageWord(percentage));
}
