#include "file_diff.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tree_fixture.h"

namespace {

using tools_test::RandomBytes;

// What the updater does with a modify entry: each record seeks relative to
// the position the previous one left and overwrites (a gap past the end reads
// as zeros), then the length is set to the final size.
std::string ApplyRecords(std::string file, const std::vector<DiffRecordSource>& records,
                         std::size_t finalSize) {
    std::int64_t position = 0;
    for (const DiffRecordSource& record : records) {
        position += record.seek;
        const std::size_t end = static_cast<std::size_t>(position) + record.bytes.size();
        if (file.size() < end)
            file.resize(end, '\0');
        file.replace(static_cast<std::size_t>(position), record.bytes.size(), record.bytes);
        position = static_cast<std::int64_t>(end);
    }
    file.resize(finalSize, '\0');
    return file;
}

std::vector<DiffRecordSource> Diff(const std::string& oldBytes, const std::string& newBytes) {
    std::vector<DiffRecordSource> records;
    EXPECT_TRUE(DiffFile(oldBytes, newBytes, &records));
    EXPECT_EQ(ApplyRecords(oldBytes, records, newBytes.size()), newBytes);
    // Applying a second time, to the new file, changes nothing.
    EXPECT_EQ(ApplyRecords(newBytes, records, newBytes.size()), newBytes);
    return records;
}

std::size_t DataBytes(const std::vector<DiffRecordSource>& records) {
    std::size_t total = 0;
    for (const DiffRecordSource& record : records)
        total += 8 + record.bytes.size();
    return total;
}

TEST(FileDiff, SameFileNeedsNoRecord) {
    const std::string bytes = RandomBytes(10000, 1);
    EXPECT_TRUE(Diff(bytes, bytes).empty());
    EXPECT_TRUE(Diff("", "").empty());
}

TEST(FileDiff, RecordsCoverOnlyTheChangedBytes) {
    const std::string oldBytes = RandomBytes(10000, 2);
    std::string newBytes = oldBytes;
    newBytes[9000] ^= 1;
    newBytes.replace(100, 3, "abc");
    const auto records = Diff(oldBytes, newBytes);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].seek, 100);
    EXPECT_EQ(records[0].bytes, "abc");
    EXPECT_EQ(records[1].seek, 9000 - 103);  // relative to the end of the first record
    EXPECT_EQ(records[1].bytes.size(), 1u);
}

TEST(FileDiff, NeighboursMergeOnlyWhenOneRecordIsSmaller) {
    const std::string oldBytes(100, 'a');
    std::string closeBy = oldBytes;
    closeBy[10] = closeBy[18] = 'b';  // 7 unchanged bytes between: one record of 9
    EXPECT_EQ(Diff(oldBytes, closeBy).size(), 1u);
    EXPECT_EQ(DataBytes(Diff(oldBytes, closeBy)), 8u + 9u);

    std::string apart = oldBytes;
    apart[10] = apart[19] = 'b';  // 8 unchanged bytes between: two records cost no more
    EXPECT_EQ(Diff(oldBytes, apart).size(), 2u);
    EXPECT_EQ(DataBytes(Diff(oldBytes, apart)), 2u * (8u + 1u));
}

TEST(FileDiff, GrowingWritesTheTailButNotItsTrailingZeros) {
    const std::string oldBytes = RandomBytes(1000, 3);
    const std::string zeroTail = oldBytes + std::string(5000, '\0');
    EXPECT_TRUE(Diff(oldBytes, zeroTail).empty());

    const std::string tail =
        oldBytes + "new" + std::string(300, '\0') + "end" + std::string(100, '\0');
    const auto records = Diff(oldBytes, tail);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].bytes, "new");
    EXPECT_EQ(records[1].bytes, "end");
}

TEST(FileDiff, ShrinkingOrEmptyingNeedsOnlyTheFinalSize) {
    const std::string oldBytes = RandomBytes(1000, 4);
    EXPECT_TRUE(Diff(oldBytes, oldBytes.substr(0, 400)).empty());
    EXPECT_TRUE(Diff(oldBytes, "").empty());
    EXPECT_EQ(Diff(oldBytes, oldBytes.substr(0, 399) + "x").size(), 1u);
}

TEST(FileDiff, ScatteredChangesAtEveryLengthRoundTrip) {
    std::mt19937 random(5);
    for (int round = 0; round < 200; ++round) {
        const std::string oldBytes =
            RandomBytes(random() % 3000, static_cast<std::uint32_t>(random()));
        std::string newBytes = oldBytes;
        newBytes.resize(random() % 3000, static_cast<char>(random() % 2 ? 0 : 'z'));
        for (std::size_t edits = random() % 20; edits > 0 && !newBytes.empty(); --edits) {
            newBytes[random() % newBytes.size()] = static_cast<char>(random());
        }
        Diff(oldBytes, newBytes);
    }
}

}  // namespace
