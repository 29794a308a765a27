#include "patch/package_format.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include <random>

#include "build_codecs.h"
#include "patch/entry_stream.h"
#include "patch/package_writer.h"
#include "payload_bytes.h"
#include "reference_walker.h"

namespace {

using namespace std::string_literals;
using testing_support::HandPackedLzoPackage;

// The entry reader over a payload held in memory.
struct PiecewiseSourceHolder {
    explicit PiecewiseSourceHolder(std::string bytes)
        : payload(std::move(bytes)),
          source(testing_support::View(payload), SIZE_MAX),
          reader(&source, payload.size()),
          entries(&reader) {}
    std::string payload;
    reference::PiecewiseSource source;
    PayloadReader reader;
    EntryStream entries;
};

using testing_support::Le32;
using testing_support::View;

std::string Encode(const std::vector<EntrySource>& entries) {
    std::string payload;
    EXPECT_TRUE(EncodePayload(entries, &payload));
    return payload;
}

// Reads `payload` with the entry reader to its end or first failure and
// tells how it stopped.
EntryProblem WalkProblem(const std::string& payload) {
    return reference::WalkStreamed(View(payload), false).problem;
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
    ByteBuffer unpacked;
    for (const PayloadCodec& codec : PayloadCodecs()) {
        std::string packed = "kept";  // packing appends
        if (!codec.inThisBuild) {
            // A codec the build leaves out packs nothing and unpacks nothing,
            // not even a stream that is sound.
            EXPECT_FALSE(CompressPayload(codec.codec, payload, &packed)) << codec.name;
            const std::string stream = HandPackedLzoPackage(0, "abc").substr(kPackageHeaderSize);
            EXPECT_FALSE(DecompressPayload(codec.codec, View(stream), 3, &unpacked)) << codec.name;
            continue;
        }
        ASSERT_TRUE(CompressPayload(codec.codec, payload, &packed)) << codec.name;
        EXPECT_EQ(packed.substr(0, 4), "kept");
        const ByteView stream = View(packed).subspan(4);
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

TEST(EntryReader, YieldsEntriesWithTheirFieldsThenStaysAtTheEnd) {
    // Built by hand: zero padding runs on after the name's zero byte.
    const std::string payload = Le32(kAddTag) + Le32(0) + Le32(6) + std::string("ab\0\0\0\0", 6) +
                                Le32(1) + "Q" + Encode({EntrySource::Modify("m", {{5, "R"}}, 9)});
    PiecewiseSourceHolder holder(payload);
    EntryHead head;
    ASSERT_EQ(holder.entries.NextHead(&head), WalkStep::kEntry);
    EXPECT_EQ(head.kind, EntryKind::kAdd);
    EXPECT_EQ(head.name, "ab");
    std::uint8_t data[2] = {};
    EXPECT_FALSE(holder.entries.ReadDataExact(data, 2));  // one byte only
    ASSERT_TRUE(holder.entries.ReadDataExact(data, 1));
    EXPECT_EQ(data[0], 'Q');
    ASSERT_EQ(holder.entries.NextHead(&head), WalkStep::kEntry);
    EXPECT_EQ(head.kind, EntryKind::kModify);
    EXPECT_EQ(head.name, "m");
    EXPECT_EQ(head.finalSize, 9);
    EXPECT_EQ(holder.entries.dataLength(), 9u);
    EXPECT_EQ(holder.entries.NextHead(&head), WalkStep::kEnd);
    EXPECT_EQ(holder.entries.entryOffset(), payload.size() - 4);
}

TEST(EntryReader, EveryCutOfAPayloadIsTruncatedNotReadPast) {
    const std::string payload =
        Encode({EntrySource::Add("dir/a.txt", "hello"), EntrySource::Modify("b", {{1, "xy"}}, 3)});
    for (std::size_t length = 0; length < payload.size(); ++length) {
        // A copy of exactly `length` bytes, so the sanitizer sees any overread.
        EXPECT_EQ(WalkProblem(payload.substr(0, length)), EntryProblem::kTruncated) << length;
    }
    EXPECT_EQ(WalkProblem(payload), EntryProblem::kNone);
}

TEST(EntryReader, NamesEachKindOfBrokenEntry) {
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

TEST(EntryReader, TellsTheKindOfABrokenEntryOnceItsTagWasRead) {
    const auto failedKind = [](const std::string& payload) {
        return reference::WalkStreamed(View(payload), false).failedKind;
    };
    const std::string good = Encode({EntrySource::Add("a", "x")});
    EXPECT_EQ(failedKind(good), std::nullopt);
    EXPECT_EQ(failedKind(good.substr(0, good.size() - 4) + "XXXX"), std::nullopt);
    EXPECT_EQ(failedKind(good.substr(0, good.size() - 4) + Le32(kAddTag)), EntryKind::kAdd);
    EXPECT_EQ(failedKind(Encode({EntrySource::Modify("../m", {}, 0)})), EntryKind::kModify);
    EXPECT_EQ(failedKind(Encode({EntrySource::Modify("m", {}, -1)})), EntryKind::kModify);
}

TEST(RecordStream, PositionsAccumulateAndStayInsideTheData) {
    const std::string records = Le32(100) + Le32(4) + "abcd" +
                                Le32(static_cast<std::uint32_t>(-50)) + Le32(0) + Le32(0) +
                                Le32(1) + "e";
    const auto modify = [](const std::string& data) {
        return Le32(kModifyTag) + Le32(0) + Le32(2) + std::string("m\0", 2) +
               Le32(static_cast<std::uint32_t>(data.size())) + data + Le32(0);
    };
    PiecewiseSourceHolder holder(modify(records));
    EntryHead head;
    ASSERT_EQ(holder.entries.NextHead(&head), WalkStep::kEntry);
    RecordStream stream(&holder.entries);
    std::int64_t position = 0;
    std::uint32_t length = 0;
    std::vector<std::int64_t> positions;
    while (stream.Next(&position, &length) == RecordStep::kRecord)
        positions.push_back(position);
    EXPECT_EQ(positions, (std::vector<std::int64_t>{100, 54, 54}));
    EXPECT_EQ(WalkProblem(modify("")), EntryProblem::kNone);
    for (std::size_t cut = 1; cut < records.size(); ++cut) {
        if (cut == 12 || cut == 20)
            continue;  // record boundaries
        EXPECT_EQ(WalkProblem(modify(records.substr(0, cut))), EntryProblem::kBadDiffRecords)
            << cut;
    }
    EXPECT_EQ(WalkProblem(modify(Le32(static_cast<std::uint32_t>(-1)) + Le32(0))),
              EntryProblem::kBadDiffRecords);
}

// Payloads broken in every way the format knows, each cut at every length
// and flipped at random: the entry reader, fed in pieces of every size, must
// read them exactly as the whole-buffer reference reads them.
TEST(EntryReader, AgreesWithTheWholeBufferReferenceOnEveryPayload) {
    std::vector<std::string> payloads = {
        Encode({EntrySource::Add("dir/a.txt", "hello"), EntrySource::Modify("b", {{1, "xy"}}, 3),
                EntrySource::Add("c", "")}),
        Encode({EntrySource::Modify("m", {{1, "a"}, {-3, "b"}}, 0)}),
        Encode({EntrySource::Modify("../m", {{1, "a"}}, -1)}),
        Encode({EntrySource::Modify("m", {{0, "abc"}}, -1)}),
        Encode({EntrySource::Add("a", "x")}) + "trailing bytes",
        Le32(kAddTag) + Le32(0) + Le32(9) + std::string("ok\0evil\0\0", 9) + Le32(3) + "abc" +
            Le32(0),
        Le32(kDeltaTag) + Le32(0) + Le32(2) + std::string("d\0", 2) + Le32(90) +
            std::string(90, '\0') + Le32(0)};
    std::mt19937 random(7);
    const std::size_t whole = payloads.size();
    for (std::size_t i = 0; i < whole; ++i) {
        for (std::size_t cut = 0; cut < payloads[i].size(); ++cut)
            payloads.push_back(payloads[i].substr(0, cut));
        for (int flips = 0; flips < 200; ++flips) {
            std::string flipped = payloads[i];
            flipped[random() % flipped.size()] ^= static_cast<char>(1 << (random() % 8));
            payloads.push_back(flipped);
        }
    }
    for (const std::string& payload : payloads) {
        for (const bool delta : {false, true}) {
            const reference::WalkReport expected = reference::WalkWholeBuffer(View(payload), delta);
            for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, SIZE_MAX}) {
                const reference::WalkReport got =
                    reference::WalkStreamed(View(payload), delta, piece);
                ASSERT_TRUE(got == expected) << "streamed:\n"
                                             << reference::Describe(got) << "\nreference:\n"
                                             << reference::Describe(expected);
            }
        }
    }
}

}  // namespace
