#include "patch/package_format.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "patch/package_writer.h"
#include "payload_bytes.h"

namespace {

using namespace std::string_literals;

using testing_support::Le32;
using testing_support::View;

std::string Encode(const std::vector<EntrySource>& entries) {
    std::string payload;
    EXPECT_TRUE(EncodePayload(entries, &payload));
    return payload;
}

// Walks `payload` to its end or first failure and tells how it stopped.
EntryProblem WalkProblem(const std::string& payload) {
    EntryWalker walker(View(payload));
    PackageEntry entry;
    while (walker.Next(&entry) == WalkStep::kEntry) {
    }
    return walker.problem();
}

// Whatever depends on the codec finds it in the one table.
TEST(PayloadCodecs, EachCodecIsFoundByItsValueMagicAndName) {
    std::set<std::uint32_t> magics;
    std::set<std::string> names;
    for (const PayloadCodec& codec : PayloadCodecs()) {
        EXPECT_EQ(&CodecOf(codec.codec), &codec) << codec.name;
        EXPECT_EQ(CodecWithMagic(codec.magic), &codec) << codec.name;
        EXPECT_EQ(CodecNamed(codec.name), &codec) << codec.name;
        magics.insert(codec.magic);
        names.insert(codec.name);
    }
    EXPECT_EQ(magics.size(), PayloadCodecs().size());
    EXPECT_EQ(names.size(), PayloadCodecs().size());
    EXPECT_EQ(CodecWithMagic(0), nullptr);
    for (const char* wrong : {"zip", "lz", "bzip22", "LZO", ""})
        EXPECT_EQ(CodecNamed(wrong), nullptr) << wrong;
    // What packages start with and publishers type.
    EXPECT_EQ(Le32(CodecOf(PackageCodec::kLzo1x).magic), "DUBB");
    EXPECT_STREQ(CodecOf(PackageCodec::kLzo1x).name, "lzo");
    EXPECT_EQ(Le32(CodecOf(PackageCodec::kBzip2).magic), "ZBBB");
    EXPECT_STREQ(CodecOf(PackageCodec::kBzip2).name, "bzip2");
}

TEST(PayloadCodecs, EachCodecUnpacksWhatItPacksToExactlyTheAnnouncedSize) {
    const std::string payload = Encode({EntrySource::Add("a.txt", std::string(3000, 'x') + "!")});
    const auto size = static_cast<std::uint32_t>(payload.size());
    for (const PayloadCodec& codec : PayloadCodecs()) {
        std::string packed = "kept";  // packing appends
        ASSERT_TRUE(CompressPayload(codec.codec, payload, &packed)) << codec.name;
        EXPECT_EQ(packed.substr(0, 4), "kept");
        const ByteView stream = View(packed).subspan(4);
        ByteBuffer unpacked;
        ASSERT_TRUE(DecompressPayload(codec.codec, stream, size, &unpacked)) << codec.name;
        const ByteView got = unpacked.view();
        EXPECT_EQ(std::string(got.begin(), got.end()), payload) << codec.name;
        for (const std::uint32_t wrong : {size - 1, size + 1}) {
            EXPECT_FALSE(DecompressPayload(codec.codec, stream, wrong, &unpacked)) << codec.name;
            EXPECT_EQ(unpacked.size(), 0u) << codec.name;
        }
    }
}

TEST(EntryName, OnlyNamesThatStayBelowTheRootAreSafe) {
    for (const char* safe : {"a", "a/b/c.dat", "a\\b", "a..b", "..a", "a/.../b", "./a"}) {
        EXPECT_TRUE(IsSafeEntryName(safe)) << safe;
    }
    for (const char* unsafe : {"", "/etc/x", "\\x", "C:x", "x:y", "a/b:s", "..", "../x", "a/../b",
                               "a\\..\\b", "a/..", "a\\.."}) {
        EXPECT_FALSE(IsSafeEntryName(unsafe)) << unsafe;
    }
}

TEST(EntryWalker, YieldsEntriesWithTheirFieldsThenStaysAtTheEnd) {
    // Built by hand: zero padding runs on after the name's zero byte.
    const std::string payload = Le32(kAddTag) + Le32(0) + Le32(6) + std::string("ab\0\0\0\0", 6) +
                                Le32(1) + "Q" + Encode({EntrySource::Modify("m", {{5, "R"}}, 9)});
    EntryWalker walker(View(payload));
    PackageEntry entry;
    ASSERT_EQ(walker.Next(&entry), WalkStep::kEntry);
    EXPECT_EQ(entry.kind, EntryKind::kAdd);
    EXPECT_EQ(entry.name, "ab");
    EXPECT_EQ(std::string(entry.data.begin(), entry.data.end()), "Q");
    ASSERT_EQ(walker.Next(&entry), WalkStep::kEntry);
    EXPECT_EQ(entry.kind, EntryKind::kModify);
    EXPECT_EQ(entry.name, "m");
    EXPECT_EQ(entry.finalSize, 9);
    EXPECT_EQ(entry.data.size(), 9u);
    EXPECT_EQ(walker.Next(&entry), WalkStep::kEnd);
    EXPECT_EQ(walker.Next(&entry), WalkStep::kEnd);
}

TEST(EntryWalker, EveryCutOfAPayloadIsTruncatedNotReadPast) {
    const std::string payload =
        Encode({EntrySource::Add("dir/a.txt", "hello"), EntrySource::Modify("b", {{1, "xy"}}, 3)});
    for (std::size_t length = 0; length < payload.size(); ++length) {
        // A copy of exactly `length` bytes, so the sanitizer sees any overread.
        EXPECT_EQ(WalkProblem(payload.substr(0, length)), EntryProblem::kTruncated) << length;
    }
    EXPECT_EQ(WalkProblem(payload), EntryProblem::kNone);
}

TEST(EntryWalker, NamesEachKindOfBrokenEntry) {
    std::string unterminated = Encode({EntrySource::Add("abc", "x")});
    unterminated[15] = 'd';  // the name's zero byte
    std::string hugeName = Encode({EntrySource::Add("abc", "x")});
    hugeName.replace(8, 4, Le32(0xFFFFFFFF));
    EXPECT_EQ(WalkProblem("XXXX" + Le32(0)), EntryProblem::kUnknownTag);
    EXPECT_EQ(WalkProblem(unterminated), EntryProblem::kUnterminatedName);
    for (const std::string& field : {"ok.txt\0anything"s, "ok.txt\0\0\0x\0"s}) {
        const auto length = static_cast<std::uint32_t>(field.size());
        EXPECT_EQ(WalkProblem(Le32(kAddTag) + Le32(0) + Le32(length) + field + Le32(0) + Le32(0)),
                  EntryProblem::kBytesAfterName);
    }
    EXPECT_EQ(WalkProblem(hugeName), EntryProblem::kTruncated);
    // The name may take the longest length; zero padding may run on past it.
    const std::string longest(kMaxEntryNameLength, 'n');
    const auto field = [](const std::string& name, std::size_t padding) {
        const std::string bytes = name + std::string(padding, '\0');
        return Le32(kAddTag) + Le32(0) + Le32(static_cast<std::uint32_t>(bytes.size())) + bytes +
               Le32(0) + Le32(0);
    };
    EXPECT_EQ(WalkProblem(field(longest, 70000)), EntryProblem::kNone);
    EXPECT_EQ(WalkProblem(field(longest + "n", 1)), EntryProblem::kNameTooLong);
    EXPECT_EQ(WalkProblem(Encode({EntrySource::Add("../x", "")})), EntryProblem::kUnsafeName);
    EXPECT_EQ(WalkProblem(Encode({EntrySource::Modify("m", {}, -1)})),
              EntryProblem::kNegativeFinalSize);
    EXPECT_EQ(WalkProblem(Encode({EntrySource::Modify("m", {{1, "a"}, {-3, "b"}}, 0)})),
              EntryProblem::kBadDiffRecords);
    // An add entry's final size is not used, so a negative one is no fault.
    EXPECT_EQ(WalkProblem(Encode({EntrySource::Add("a", "")}).replace(4, 4, Le32(0x80000000))),
              EntryProblem::kNone);
}

TEST(EntryWalker, TellsTheKindOfABrokenEntryOnceItsTagWasRead) {
    const auto failedKind = [](const std::string& payload) {
        EntryWalker walker(View(payload));
        PackageEntry entry;
        while (walker.Next(&entry) == WalkStep::kEntry) {
        }
        return walker.failedKind();
    };
    const std::string good = Encode({EntrySource::Add("a", "x")});
    EXPECT_EQ(failedKind(good), std::nullopt);
    EXPECT_EQ(failedKind(good.substr(0, good.size() - 4) + "XXXX"), std::nullopt);
    EXPECT_EQ(failedKind(good.substr(0, good.size() - 4) + Le32(kAddTag)), EntryKind::kAdd);
    EXPECT_EQ(failedKind(Encode({EntrySource::Modify("../m", {}, 0)})), EntryKind::kModify);
    EXPECT_EQ(failedKind(Encode({EntrySource::Modify("m", {}, -1)})), EntryKind::kModify);
}

TEST(DiffRecordReader, PositionsAccumulateAndStayInsideTheData) {
    const std::string records = Le32(100) + Le32(4) + "abcd" +
                                Le32(static_cast<std::uint32_t>(-50)) + Le32(0) + Le32(0) +
                                Le32(1) + "e";
    DiffRecordReader reader(View(records));
    DiffRecord record;
    std::vector<std::int64_t> positions;
    while (reader.Next(&record) == RecordStep::kRecord)
        positions.push_back(record.position);
    EXPECT_EQ(positions, (std::vector<std::int64_t>{100, 54, 54}));
    EXPECT_TRUE(DiffRecordsValid(View(records)));
    EXPECT_TRUE(DiffRecordsValid(View("")));
    for (std::size_t cut = 1; cut < records.size(); ++cut) {
        if (cut == 12 || cut == 20)
            continue;  // record boundaries
        EXPECT_FALSE(DiffRecordsValid(View(records.substr(0, cut)))) << cut;
    }
    EXPECT_FALSE(DiffRecordsValid(View(Le32(static_cast<std::uint32_t>(-1)) + Le32(0))));
}

}  // namespace
