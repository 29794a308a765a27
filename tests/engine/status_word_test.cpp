#include "engine/status_word.h"

#include <gtest/gtest.h>

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
    ExpectDecodes(ErrorWord(16) | PercentageWord(5), Kind::kError, 16);
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

}  // namespace
