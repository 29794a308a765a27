#include "vocabulary/status_word.h"

#include <gtest/gtest.h>

#include "vocabulary/error_codes.h"

namespace {

using Kind = DecodedStatus::Kind;

void ExpectDecodes(StatusWord word, Kind kind, int value) {
    const DecodedStatus decoded = DecodeStatusWord(word);
    EXPECT_EQ(decoded.kind, kind) << std::hex << word;
    EXPECT_EQ(decoded.value, value) << std::hex << word;
}

TEST(StatusWord, PacksEachFieldInItsByte) {
    EXPECT_EQ(ErrorWord(2), 0x20000u);
    EXPECT_EQ(PercentageWord(50), 0x3200u);
    EXPECT_EQ(StageWord(kStageAllApplied), 10u);
}

TEST(StatusWord, DecodesErrorBeforePercentageBeforeStage) {
    ExpectDecodes(0x20000, Kind::kError, 2);
    ExpectDecodes(0x3200, Kind::kPercentage, 50);
    ExpectDecodes(ErrorWord(kCancelled) | PercentageWord(5), Kind::kError, kCancelled);
    ExpectDecodes(PercentageWord(5) | 3, Kind::kPercentage, 5);
    ExpectDecodes(0, Kind::kStage, 0);
    ExpectDecodes(10, Kind::kStage, 10);
}

TEST(StatusWord, StagesAboveTenAreIgnored) {
    for (StatusWord word = 11; word <= 255; ++word)
        ExpectDecodes(word, Kind::kIgnored, 0);
    ExpectDecodes(0x01000000u, Kind::kIgnored, 0);
}

TEST(StatusWord, OversizedPercentageSpillsIntoTheErrorField) {
    // Why the transfer clamps percentages to 100 before packing them.
    ExpectDecodes(PercentageWord(300), Kind::kError, 1);
}

TEST(StageMeaning, NamesEachStageAndNothingBeyond) {
    EXPECT_STREQ(StageMeaning(kStageSocketsStarted), "starting");
    EXPECT_STREQ(StageMeaning(kStageAllApplied), "all packages applied");
    for (const int outside : {-1, kStageAllApplied + 1, 255})
        EXPECT_STREQ(StageMeaning(outside), "unknown stage") << outside;
}

}  // namespace
