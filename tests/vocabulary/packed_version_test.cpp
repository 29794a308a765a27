#include "vocabulary/packed_version.h"

#include <gtest/gtest.h>

namespace {

TEST(PackVersion, CutsEachNumberToItsLowBits) {
    EXPECT_EQ(PackVersion(256, 1, 1), 0x00010001u);
    EXPECT_EQ(PackVersion(1, 2, 70000), PackVersion(1, 2, 4464));
    EXPECT_EQ(PackVersion(-1, 0, 0), 0xFF000000u);
    EXPECT_EQ(PackVersion(0, 0, -1), 0x0000FFFFu);
}

TEST(PackVersion, OrdersMajorOverMinorOverBuild) {
    EXPECT_GT(PackVersion(1, 10, 0), PackVersion(1, 9, 65535));
    EXPECT_GT(PackVersion(2, 0, 0), PackVersion(1, 255, 65535));
    EXPECT_GT(PackVersion(1, 0, 1), PackVersion(1, 0, 0));
}

TEST(ScanVersionNumbers, BehavesLikeScanfWithDefinedOverflow) {
    int n[3] = {0, 0, 0};
    EXPECT_EQ(ScanVersionNumbers("99999999999.1.1", n), 3);
    EXPECT_EQ(n[0], static_cast<int>(99999999999LL & 0xFFFFFFFFLL));
    EXPECT_EQ(ScanVersionNumbers(" 1. -2.+3", n), 3);
    EXPECT_EQ(n[1], -2);
    EXPECT_EQ(n[2], 3);
    EXPECT_EQ(ScanVersionNumbers("1.2", n), 2);
    EXPECT_EQ(ScanVersionNumbers("", n), 0);
    EXPECT_EQ(ScanVersionNumbers("-", n), 0);
    EXPECT_EQ(ScanVersionNumbers(std::string(100000, '9'), n), 1);
}

TEST(FormatVersion, PrintsThreeNumbers) {
    EXPECT_EQ(FormatVersion(0x01020003u), "1.2.3");
    EXPECT_EQ(FormatVersion(0xFFFFFFFFu), "255.255.65535");
}

}  // namespace
