#include "delta/delta_applier.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "delta/delta_format.h"
#include "delta_fixture.h"

using namespace testing_support;

namespace {

std::string Le(std::uint64_t value, std::size_t width) {
    std::string bytes(width, '\0');
    PutLe(value, width, reinterpret_cast<std::uint8_t*>(bytes.data()));
    return bytes;
}

std::string Header(std::uint64_t oldSize, std::uint64_t newSize,
                   std::uint32_t magic = kDeltaMagic) {
    return Le(magic, 4) + Le(oldSize, 8) + Le(newSize, 8);
}

std::string BlockHeader(std::uint64_t records, std::uint64_t differences, std::uint64_t literals) {
    return Le(records, 4) + Le(literals, 4) + Le(differences, 4);
}

struct Record {
    std::int64_t seek;
    std::uint32_t copy, literal;
};

// A block whose header counts what it holds.
std::string Block(const std::vector<Record>& records, const std::string& differences,
                  const std::string& literals) {
    std::string block = BlockHeader(records.size(), differences.size(), literals.size());
    for (const Record& record : records)
        block += Le(static_cast<std::uint64_t>(record.seek), 8) + Le(record.copy, 4) +
                 Le(record.literal, 4);
    return block + literals + differences;
}

const std::string kEnd = BlockHeader(0, 0, 0);

TEST(DeltaApplier, SameOutputWhateverPiecesTheDeltaArrivesIn) {
    const auto [oldBytes, newBytes] = EditedPair(1500000, 20);
    const std::string delta = MakeDelta(oldBytes, newBytes);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, delta.size()}) {
        const Applied applied = ApplyInPieces(oldBytes, newBytes.size(), delta, piece);
        EXPECT_TRUE(applied.finished);
        EXPECT_TRUE(applied.output == newBytes) << piece;
        EXPECT_EQ(applied.largestWrite, kMaxBlockOutput);
    }
    // The first block's output is written as soon as that block is in,
    // before the rest of the delta arrives.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(delta.data());
    const std::size_t firstBlock = kDeltaHeaderSize + kBlockHeaderSize +
                                   GetLe(bytes + 20, 4) * kRecordSize + GetLe(bytes + 24, 4) +
                                   GetLe(bytes + 28, 4);
    std::size_t written = 0;
    DeltaApplier applier(View(oldBytes), newBytes.size(),
                         [&](const std::uint8_t*, std::size_t size) {
                             written += size;
                             return true;
                         });
    ASSERT_TRUE(applier.Feed(bytes, firstBlock - 1));
    EXPECT_EQ(written, 0u);
    ASSERT_TRUE(applier.Feed(bytes + firstBlock - 1, 1));
    EXPECT_EQ(written, kMaxBlockOutput);
}

TEST(DeltaApplier, EveryCutOfADeltaIsReportedAsTruncated) {
    const auto [oldBytes, newBytes] = EditedPair(20000, 30);
    const std::string delta = MakeDelta(oldBytes, newBytes);
    for (std::size_t cut = 0; cut < delta.size(); ++cut) {
        const Applied applied = ApplyInPieces(oldBytes, newBytes.size(), delta.substr(0, cut));
        ASSERT_FALSE(applied.finished) << cut;
        ASSERT_EQ(applied.failure, DeltaFailure::kTruncated) << cut;
    }
}

TEST(DeltaApplier, FlippedHeaderAndRecordBitsFailOrStayWithinTheFiles) {
    const auto [oldBytes, newBytes] = EditedPair(20000, 40);
    const std::string delta = MakeDelta(oldBytes, newBytes);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(delta.data());
    const std::size_t records = GetLe(bytes + 20, 4);
    ASSERT_GT(records, 3u);
    const std::size_t recordsEnd = kDeltaHeaderSize + kBlockHeaderSize + records * kRecordSize;
    for (std::size_t at = 0; at < recordsEnd; ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string damaged = delta;
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
            const Applied applied = ApplyInPieces(oldBytes, newBytes.size(), damaged);
            // A different seek may still land inside the old file: the output
            // is then wrong but whole. Everything else must be refused.
            const std::size_t firstRecord = kDeltaHeaderSize + kBlockHeaderSize;
            if (at >= firstRecord && (at - firstRecord) % kRecordSize < 8)
                EXPECT_TRUE(!applied.finished || applied.output.size() == newBytes.size());
            else
                EXPECT_FALSE(applied.finished) << at << " bit " << bit;
        }
    }
}

TEST(DeltaApplier, RefusesDamagedDeltasBeforeWritingTheirBlock) {
    const std::string oldBytes = RandomBytes(100, 50);
    constexpr auto kMostNegative = std::numeric_limits<std::int64_t>::min();
    const struct {
        const char* what;
        std::string delta;
        std::uint64_t newSize;
        DeltaFailure failure;
    } cases[] = {
        {"magic", Header(100, 4, 0x31544C45) + Block({{0, 4, 0}}, "abcd", "") + kEnd, 4,
         DeltaFailure::kNotADelta},
        {"old size", Header(99, 4) + Block({{0, 4, 0}}, "abcd", "") + kEnd, 4,
         DeltaFailure::kWrongOldFile},
        {"new size", Header(100, 5) + Block({{0, 4, 0}}, "abcd", "") + kEnd, 4,
         DeltaFailure::kWrongNewSize},
        {"seek before the start", Header(100, 4) + Block({{-1, 4, 0}}, "abcd", "") + kEnd, 4,
         DeltaFailure::kDamagedBlock},
        {"most negative seek", Header(100, 4) + Block({{kMostNegative, 4, 0}}, "abcd", "") + kEnd,
         4, DeltaFailure::kDamagedBlock},
        {"seek past the end", Header(100, 2) + Block({{101, 0, 2}}, "", "xy") + kEnd, 2,
         DeltaFailure::kDamagedBlock},
        {"copy past the end",
         Header(100, 6) + Block({{0, 1, 0}}, "a", "") + Block({{95, 5, 0}}, "abcde", "") + kEnd, 6,
         DeltaFailure::kDamagedBlock},
        {"copies short of the differences", Header(100, 4) + Block({{0, 3, 0}}, "abcd", "") + kEnd,
         4, DeltaFailure::kDamagedBlock},
        {"records without output", Header(100, 4) + BlockHeader(1, 0, 0) + kEnd, 4,
         DeltaFailure::kDamagedBlock},
        {"too many records", Header(100, 4) + BlockHeader(kMaxBlockRecords + 1, 4, 0), 4,
         DeltaFailure::kDamagedBlock},
        {"block too long", Header(100, 2u << 20) + BlockHeader(1, kMaxBlockOutput, 1), 2u << 20,
         DeltaFailure::kDamagedBlock},
        {"output past the new size", Header(100, 3) + Block({{0, 4, 0}}, "abcd", "") + kEnd, 3,
         DeltaFailure::kOutputTooLong},
        {"end before the new size", Header(100, 5) + Block({{0, 4, 0}}, "abcd", "") + kEnd, 5,
         DeltaFailure::kOutputTooShort},
        {"bytes after the end", Header(100, 4) + Block({{0, 4, 0}}, "abcd", "") + kEnd + "x", 4,
         DeltaFailure::kBytesAfterEnd},
    };
    for (const auto& row : cases) {
        const Applied applied = ApplyInPieces(oldBytes, row.newSize, row.delta);
        EXPECT_FALSE(applied.finished) << row.what;
        EXPECT_EQ(applied.failure, row.failure) << row.what;
        EXPECT_LE(applied.output.size(), 4u) << row.what;
    }

    // The same pieces well formed: seeks both ways, copies up to the last
    // old byte, literals, positions carried from block to block.
    const std::string delta = Header(100, 9) +
                              Block({{98, 2, 1}, {-100, 1, 0}}, "\x01\x02\x03", "L") +
                              Block({{49, 4, 1}}, std::string(4, '\0'), "M") + kEnd;
    const Applied applied = ApplyInPieces(oldBytes, 9, delta);
    EXPECT_TRUE(applied.finished);
    auto plus = [&](std::size_t at, int difference) {
        return std::string(1, static_cast<char>(oldBytes[at] + difference));
    };
    EXPECT_EQ(applied.output,
              plus(98, 1) + plus(99, 2) + "L" + plus(0, 3) + oldBytes.substr(50, 4) + "M");
}

TEST(DeltaApplier, StopsWhenTheSinkRefuses) {
    const std::string oldBytes = "old bytes";
    const std::string delta = Header(9, 3) + Block({{0, 3, 0}}, std::string(3, '\0'), "") + kEnd;
    DeltaApplier applier(View(oldBytes), 3, [](const std::uint8_t*, std::size_t) { return false; });
    EXPECT_FALSE(applier.Feed(View(delta).data(), delta.size()));
    EXPECT_FALSE(applier.Finish());
    EXPECT_EQ(applier.failure(), DeltaFailure::kSinkFailed);
    EXPECT_EQ(applier.written(), 0u);
}

}  // namespace
