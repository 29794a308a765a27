#include "transfer/progress_report.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/status_recorder.h"

namespace {

std::vector<StatusWord> ReportsFor(int announcedLength, const std::vector<std::int64_t>& totals) {
    testing_support::StatusRecorder reported;
    ProgressReporter progress(announcedLength, reported.callback());
    for (const std::int64_t received : totals)
        progress.Update(received);
    return reported.words();
}

TEST(ProgressReporter, ReportsRisesOfAtLeastTwoPoints) {
    // 19.995 truncates to 19; 41 is no rise of two over 40; nor is 100 over 99.
    EXPECT_EQ(ReportsFor(20000, {3999, 8192, 8300, 19999, 20000}),
              (std::vector<StatusWord>{0x1300, 0x2800, 0x6300}));
    EXPECT_EQ(ReportsFor(100, {1}), std::vector<StatusWord>{});
    EXPECT_EQ(ReportsFor(100, {2}), std::vector<StatusWord>{0x200});
    EXPECT_EQ(ReportsFor(5, {5}), std::vector<StatusWord>{0x6400});
}

TEST(ProgressReporter, NeverSpillsPastOneHundredOrReportsWithoutALength) {
    EXPECT_EQ(ReportsFor(1000, {500, 5000, 3'000'000'000LL}),
              (std::vector<StatusWord>{0x3200, 0x6400}));
    EXPECT_EQ(ReportsFor(0, {10, 20}), std::vector<StatusWord>{});
    EXPECT_EQ(ReportsFor(-1, {10, 20}), std::vector<StatusWord>{});
}

}  // namespace
