#include "transfer/time_arithmetic.h"

#include <gtest/gtest.h>

namespace {

using platform::TimeVal;

bool Same(TimeVal a, TimeVal b) {
    return a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
}

TEST(TimeArithmetic, NormalizeCarriesOnceAndNeverBorrows) {
    EXPECT_TRUE(Same(NormalizeTime({1, 1000000}), {2, 0}));
    EXPECT_TRUE(Same(NormalizeTime({1, 2500000}), {2, 1500000}));
    EXPECT_TRUE(Same(NormalizeTime({1, 999999}), {1, 999999}));
    EXPECT_TRUE(Same(NormalizeTime({1, -5}), {1, -5}));
}

TEST(TimeArithmetic, CompareLooksAtSecondsFirst) {
    EXPECT_EQ(CompareTime({2, 0}, {1, 999999}), 1);
    EXPECT_EQ(CompareTime({-1, 999999}, {0, 0}), -1);
    EXPECT_EQ(CompareTime({3, 5}, {3, 6}), -1);
    EXPECT_EQ(CompareTime({3, 6}, {3, 6}), 0);
}

TEST(TimeArithmetic, SubtractBorrowsForNegativeMicroseconds) {
    EXPECT_TRUE(Same(SubtractTime({5, 100}, {2, 200}), {2, 999900}));
    EXPECT_TRUE(Same(SubtractTime({5, 900000}, {2, 100000}), {3, 800000}));
    EXPECT_TRUE(Same(SubtractTime({2, 0}, {2, 0}), {0, 0}));
}

TEST(TimeArithmetic, BudgetIsSpentByTheChargeThatReachesIt) {
    TimeVal budget{10, 0};
    EXPECT_TRUE(ChargeBudget(budget, {4, 0}));
    EXPECT_TRUE(ChargeBudget(budget, SubtractTime({206, 200000}, {200, 700000})));
    EXPECT_TRUE(Same(budget, {0, 500000}));
    // A charge equal to what is left spends the budget and leaves it as it was.
    EXPECT_FALSE(ChargeBudget(budget, {0, 500000}));
    EXPECT_TRUE(Same(budget, {0, 500000}));
}

TEST(TimeArithmetic, TickTimeSplitsTheTickCount) {
    const std::uint32_t before = platform::TickCount();
    const TimeVal now = GetTickTime();
    const std::uint32_t after = platform::TickCount();
    EXPECT_EQ(now.tv_usec % 1000, 0);
    EXPECT_LT(now.tv_usec, 1000000);
    const auto ms = static_cast<std::uint32_t>(now.tv_sec) * 1000u +
                    static_cast<std::uint32_t>(now.tv_usec / 1000);
    // Compared as distances from `before`, which stay right when the 32-bit
    // tick count wraps between the readings.
    EXPECT_LE(ms - before, after - before);
}

}  // namespace
