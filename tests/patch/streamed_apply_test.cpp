// The streamed apply against the whole-buffer reference reading of the same
// bytes (reference_walker.h), and the memory a large package takes.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <random>

#include "apply_fixture.h"
#include "build_codecs.h"
#include "payload_bytes.h"
#include "reference_walker.h"
#include "support/installation_files.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

std::string Encoded(const std::vector<EntrySource>& entries) {
    std::string payload;
    EXPECT_TRUE(EncodePayload(entries, &payload));
    return payload.substr(0, payload.size() - 4);  // without the zero tag
}

std::string Raw(std::uint32_t tag, std::int32_t finalSize, const std::string& nameField,
                const std::string& data) {
    return Le32(tag) + Le32(static_cast<std::uint32_t>(finalSize)) +
           Le32(static_cast<std::uint32_t>(nameField.size())) + nameField +
           Le32(static_cast<std::uint32_t>(data.size())) + data;
}

// One broken entry of each kind the format knows.
std::vector<std::string> BrokenEntries() {
    // The first one's data runs on past the end of the payload.
    return {Le32(kAddTag) + Le32(0) + Le32(8) + std::string("cut.txt\0", 8) + Le32(0x7FFFFFFF),
            "BAD!" + Le32(0), Raw(kAddTag, 0, "noend.txt", "x"),
            Raw(kAddTag, 0, std::string("ok.txt\0evil", 11), "x"),
            Raw(kAddTag, 0, std::string(70000, 'n') + '\0', "x"),
            Encoded({EntrySource::Add("../up.txt", "x")}),
            Encoded({EntrySource::Modify("m.txt", {{3, "A"}, {-5, "B"}}, 10)}),
            Encoded({EntrySource::Modify("m.txt", {{0, "A"}}, -1)}),
            // A delta entry cut short before its delta: malformed whether or
            // not the codec allows delta entries.
            Raw(kDeltaTag, 0, std::string("m.txt\0", 6), std::string(90, '\0'))};
}

// The installation every case starts from, below the root.
const std::map<std::string, std::string>& BaseFiles() {
    static const std::map<std::string, std::string> files = {{"m.txt", "0123456789"},
                                                             {"large.bin", ByteRuns(2 << 20, 1)}};
    return files;
}

std::vector<EntrySource> SmallEntries() {
    return {EntrySource::Add("a.txt", "alpha\n"),
            EntrySource::Modify("m.txt", {{2, "XY"}, {3, "Z"}}, 12),
            EntrySource::Add("sub/b.txt", "bravo"), EntrySource::Add("c.bin", ByteRuns(300, 2))};
}

// Entries that span a few unpacking windows (of 1 MiB) among small ones.
std::vector<EntrySource> LargeEntries() {
    std::vector<EntrySource> entries = SmallEntries();
    entries.insert(entries.begin() + 1, EntrySource::Add("big.bin", ByteRuns(5 << 19, 3)));
    entries.push_back(EntrySource::Modify(
        "large.bin", {{0, ByteRuns(5 << 18, 4)}, {200000, ByteRuns(400 << 10, 5)}, {-5000, "tiny"}},
        5 << 19));
    return entries;
}

using Files = std::map<std::string, std::string>;

// An entry applied to the snapshot of the outer folder, as it must land.
void ApplyToModel(const reference::PackageEntry& entry, Files* tree) {
    const std::string name = "root/" + std::string(entry.name);
    for (std::size_t slash = name.find('/', 5); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
        (*tree)[name.substr(0, slash)] = "<dir>";
    }
    std::string& file = (*tree)[name];
    if (entry.kind == EntryKind::kAdd) {
        file.assign(entry.data.begin(), entry.data.end());
        return;
    }
    reference::DiffRecordReader records(entry.data);
    reference::DiffRecord record;
    while (records.Next(&record) == RecordStep::kRecord) {
        const auto position = static_cast<std::size_t>(record.position);
        file.resize(std::max(file.size(), position + record.bytes.size()));
        std::copy(record.bytes.begin(), record.bytes.end(), file.begin() + position);
    }
    file.resize(static_cast<std::size_t>(entry.finalSize));
}

struct Outcome {
    bool applied = false;
    std::vector<StatusWord> words;
    Files tree;
};

StatusWord WordOf(EntryKind kind) {
    return StageWord(kind == EntryKind::kAdd ? kStageAddingFile : kStageModifyingFile);
}

// What the whole-buffer path makes of `package`: refused with nothing
// changed, the entries before the first malformed one applied, or all of
// them. LZO1X carries no checksum, so most flipped bytes unpack to other file
// contents, which the model follows like any other.
Outcome Predict(const std::string& package, const Files& before) {
    Outcome outcome{false, {StageWord(kStagePackageOpening)}, before};
    PackageHeader header;
    if (!ReadPackageHeader(View(package), &header) || header.version != kTestVersion)
        return outcome;
    outcome.words.push_back(StageWord(kStagePackageRead));
    ByteBuffer unpacked;
    if (!DecompressPayload(header.codec, View(package).subspan(kPackageHeaderSize),
                           header.unpackedSize, &unpacked)) {
        return outcome;
    }
    outcome.words.push_back(StageWord(kStagePayloadReady));
    reference::EntryWalker walker(unpacked.view(), CodecOf(header.codec).deltaEntries);
    reference::PackageEntry entry;
    WalkStep step = WalkStep::kEntry;
    while ((step = walker.Next(&entry)) == WalkStep::kEntry) {
        outcome.words.push_back(WordOf(entry.kind));
        ApplyToModel(entry, &outcome.tree);
    }
    if (const std::optional<EntryKind> kind = walker.failedKind())
        outcome.words.push_back(WordOf(*kind));
    outcome.applied = step == WalkStep::kEnd;
    return outcome;
}

struct Case {
    std::string label;
    std::string package;
};

// Damage done to whole packages: flipped bytes in the payload and the header,
// cuts, bytes appended, a wrong unpacked size.
void AddDamaged(const std::string& label, const std::string& payload, PackageCodec codec,
                std::mt19937& random, std::vector<Case>* cases) {
    std::string good;
    ASSERT_TRUE(PackPayload(codec, kTestVersion, payload, &good));
    const auto add = [&](const std::string& what, std::string package) {
        cases->push_back({label + " " + what, std::move(package)});
    };
    add("as built", good);
    for (int i = 0; i < 5; ++i) {
        std::string flipped = good;
        const std::size_t at = kPackageHeaderSize + random() % (good.size() - kPackageHeaderSize);
        flipped[at] = static_cast<char>(flipped[at] ^ (1 + random() % 255));
        add("payload byte " + std::to_string(at) + " flipped", flipped);
    }
    for (const std::size_t at : {0, 5, 9}) {
        std::string flipped = good;
        flipped[at] ^= 0x10;
        add("header byte " + std::to_string(at) + " flipped", flipped);
    }
    for (const std::size_t length :
         {kPackageHeaderSize, good.size() / 2 + kPackageHeaderSize / 2, good.size() - 1}) {
        add("cut to " + std::to_string(length), good.substr(0, length));
    }
    add("with noise appended", good + ByteRuns(100, 7));
    add("with a zero byte appended", good + '\0');
    for (const std::int64_t change : {-1, 1, 4096}) {
        std::string resized = good;
        const auto size = static_cast<std::uint32_t>(payload.size() + change);
        resized.replace(8, 4, Le32(size));
        add("announcing " + std::to_string(change) + " bytes", resized);
    }
}

class StreamedApply : public ApplyFixture {
  protected:
    // A fresh installation holding the base files and `package`.
    void Reset(const std::string& package) {
        fs::remove_all(root_);
        for (const auto& [name, bytes] : BaseFiles())
            WriteFileBytes(root_ / name, bytes);
        Stage(package);
        ClearWords();
    }
};

TEST_F(StreamedApply, GivesTheOutcomeOfTheWholeBufferWalkForDamagedAndMalformedPackages) {
    std::mt19937 random(20240611);
    std::vector<Case> cases;
    const std::vector<EntrySource> largeEntries = LargeEntries();
    const std::string small = Encoded(SmallEntries()) + Le32(0);
    const std::string large = Encoded(largeEntries) + Le32(0);
    for (const PayloadCodec& codec : PayloadCodecs()) {
        if (!codec.inThisBuild)
            continue;
        AddDamaged(std::string(codec.name) + " small", small, codec.codec, random, &cases);
        AddDamaged(std::string(codec.name) + " large", large, codec.codec, random, &cases);
        // Each kind of broken entry first, among the entries, and last. zstd
        // packs at level 19, about 1 MB/s here: its broken entries go among
        // small entries only (its large package is among the damaged ones).
        const bool slowPacker = codec.codec == PackageCodec::kZstd;
        const std::vector<std::string> entries = {
            Encoded({largeEntries[0]}), Encoded({largeEntries[slowPacker ? 3 : 1]}),
            Encoded({largeEntries[2]}), Encoded({largeEntries[slowPacker ? 4 : 5]})};
        const std::vector<std::string> broken = BrokenEntries();
        for (std::size_t kind = 0; kind < broken.size(); ++kind) {
            for (const std::size_t at : {0, 2, 4}) {
                std::string payload;
                for (std::size_t i = 0; i <= entries.size(); ++i) {
                    payload += i == at ? broken[kind] : "";
                    payload += i < entries.size() ? entries[i] : Le32(0);
                }
                std::string package;
                ASSERT_TRUE(PackPayload(codec.codec, kTestVersion, payload, &package));
                cases.push_back({std::string(codec.name) + " broken entry " + std::to_string(kind) +
                                     " at " + std::to_string(at),
                                 package});
            }
        }
    }

    // The installation before each case: the base files and the package.
    Reset("");
    Files before = Snapshot();
    int refused = 0;
    int partial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Reset(c.package);
        before["root/download/" + std::string(kTestPackage)] = c.package;
        const Outcome expected = Predict(c.package, before);
        EXPECT_EQ(Apply(), expected.applied);
        EXPECT_EQ(Words(), expected.words);
        EXPECT_TRUE(Snapshot() == expected.tree) << "the installation differs";
        refused += expected.words.size() < 3 ? 1 : 0;
        partial += !expected.applied && expected.words.size() >= 3 ? 1 : 0;
    }
    // Each sort of outcome is met many times over. Damaged packages that
    // still apply come mostly from LZO1X, which has no checksum.
    EXPECT_GT(refused, 20);
    EXPECT_GT(partial, 40);
    EXPECT_GT(static_cast<int>(cases.size()) - refused - partial, BuildHasLzo() ? 10 : 5);
}

// ---------------------------------------------------------------------------

#ifndef _WIN32
// A bzip2 package of an add entry of `size` bytes and a modify entry writing
// as many over an existing file; runs of 4 KiB keep the package small.
std::string LargePackage(std::uint32_t size) {
    std::string pattern(size, '\0');
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<char>(i / 4096);
    std::string package;
    EXPECT_TRUE(BuildPackage(PackageCodec::kBzip2, kTestVersion,
                             {EntrySource::Modify("grow.bin", {{0, pattern}}, size),
                              EntrySource::Add("big.bin", std::move(pattern))},
                             &package));
    return package;
}
#endif

TEST_F(StreamedApply, PayloadLargerThanTheMemoryLeftStillApplies) {
    if (kAddressSanitizer)
        GTEST_SKIP() << "the address sanitizer cannot run under the cap";
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no fork and no cap on the address space";
#else
    constexpr std::uint32_t kSize = 64u << 20;
    WriteFileBytes(root_ / "grow.bin", "old");
    Stage(LargePackage(kSize));
    // 48 MiB of address space above what is mapped now: less than either
    // entry, and far less than the payload.
    EXPECT_TRUE(SucceedsUnderAddressSpaceCap(std::size_t{48} << 20, [this] {
        return ApplyPatchPackage(Folders(), kTestPackage, kTestVersion, {});
    })) << "the package did not apply under the cap";
    for (const char* name : {"big.bin", "grow.bin"}) {
        std::ifstream file(root_ / name, std::ios::binary);
        file.seekg(kSize - 4097);
        char tail[2] = {};
        file.read(tail, 2);
        EXPECT_EQ(fs::file_size(root_ / name), kSize) << name;
        EXPECT_EQ(std::string(tail, 2), "\xFE\xFF") << name;  // the last two runs of the pattern
    }
#endif
}

}  // namespace
