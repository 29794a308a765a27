// Delta entries and the zstd packages that carry them: applied, left alone
// when already applied, and refused with nothing changed.
#include <gtest/gtest.h>

#include "apply_fixture.h"
#include "patch/package_format.h"
#include "payload_bytes.h"
#include "reference_walker.h"
#include "support/installation_files.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// A rebuilt program: a byte changed every 4 KiB and a block inserted, so
// most of it is the old file moved a little.
std::string Rebuilt(const std::string& program) {
    std::string rebuilt = program;
    for (std::size_t at = 100; at < rebuilt.size(); at += 4096)
        rebuilt[at] = static_cast<char>(rebuilt[at] + 1);
    rebuilt.insert(rebuilt.size() / 3, RandomBytes(5000, 9));
    return rebuilt;
}

EntrySource Delta(const std::string& name, const std::string& oldBytes,
                  const std::string& newBytes) {
    EntrySource entry;
    EXPECT_TRUE(MakeDeltaEntry(name, oldBytes, newBytes, &entry));
    return entry;
}

class DeltaApply : public ApplyFixture {
  protected:
    DeltaApply() : old_(ByteRuns(200000, 1)), new_(Rebuilt(old_)) {}

    // An add entry of "first.txt", then a delta entry for "d.bin".
    std::string AddThenDelta(const EntrySource& delta) {
        return Build({EntrySource::Add("first.txt", "x"), delta}, PackageCodec::kZstd);
    }

    std::string old_;
    std::string new_;
};

TEST_F(DeltaApply, ZstdPackageAppliesEveryKindAcrossWindowsAndARerunConverges) {
    const std::string large = ByteRuns(3 << 20, 2);
    const std::string largeNew = Rebuilt(large);
    WriteFileBytes(root_ / "m.txt", "0123456789");
    WriteFileBytes(root_ / "large.bin", large);
    const std::string added = ByteRuns(3 << 19, 3);
    Stage(
        Build({EntrySource::Add("sub/added.bin", added),
               EntrySource::Modify("m.txt", {{2, "XY"}}, 12), Delta("large.bin", large, largeNew)},
              PackageCodec::kZstd));
    for (int run = 0; run < 2; ++run) {
        ClearWords();
        EXPECT_TRUE(Apply());
        EXPECT_EQ(Words(),
                  StageWords({kStagePackageOpening, kStagePackageRead, kStagePayloadReady,
                              kStageAddingFile, kStageModifyingFile, kStageModifyingFile}));
        EXPECT_EQ(ReadFileBytes(root_ / "sub/added.bin"), added);
        EXPECT_EQ(ReadFileBytes(root_ / "m.txt"), std::string("01XY456789\0\0", 12));
        EXPECT_TRUE(ReadFileBytes(root_ / "large.bin") == largeNew);
        EXPECT_FALSE(fs::exists(root_ / "large.bin.updating"));
    }
}

TEST_F(DeltaApply, TargetThatIsNeitherOldNorNewRefusesThePackageBeforeAnyEntry) {
    const std::string package = AddThenDelta(Delta("d.bin", old_, new_));
    std::string changed = old_;
    changed[150000] ^= 1;  // the old size, another digest
    WriteFileBytes(root_ / "d.bin", changed);
    ExpectRefusedWithNothingChanged(package);
    fs::remove(root_ / "d.bin");
    ExpectRefusedWithNothingChanged(package);
}

TEST_F(DeltaApply, DeltaThatDoesNotMakeTheRecordedFileRefusesThePackage) {
    WriteFileBytes(root_ / "d.bin", old_);
    EntrySource wrongDigest = Delta("d.bin", old_, new_);
    wrongDigest.preamble.newDigest[7] ^= 1;
    ExpectRefusedWithNothingChanged(AddThenDelta(wrongDigest));
    // A literal byte of the delta changed: the output differs from the new file.
    EntrySource damaged = Delta("d.bin", old_, new_);
    damaged.content[damaged.content.size() / 2] ^= 1;
    ExpectRefusedWithNothingChanged(AddThenDelta(damaged));
}

TEST_F(DeltaApply, DamagedOrTrailedZstdStreamChangesNothing) {
    WriteFileBytes(root_ / "d.bin", old_);
    const std::string good = AddThenDelta(Delta("d.bin", old_, new_));
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x20;
    for (const std::string& package : {flipped, good + "trailing", good.substr(0, good.size() - 1)})
        ExpectRefusedWithNothingChanged(package);
    Stage(good);
    EXPECT_TRUE(Apply());
    EXPECT_TRUE(ReadFileBytes(root_ / "d.bin") == new_);
}

TEST_F(DeltaApply, DeltaEntryInABzip2PackageIsMalformed) {
    WriteFileBytes(root_ / "d.bin", old_);
    const std::vector<EntrySource> entries = {EntrySource::Add("first.txt", "x"),
                                              Delta("d.bin", old_, new_)};
    std::string package;
    EXPECT_FALSE(BuildPackage(PackageCodec::kBzip2, kTestVersion, entries, &package));
    std::string payload;
    ASSERT_TRUE(EncodePayload(entries, &payload));
    ASSERT_TRUE(PackPayload(PackageCodec::kBzip2, kTestVersion, payload, &package));
    Stage(package);
    EXPECT_FALSE(Apply());
    // As for any malformed entry, those before it stay applied.
    EXPECT_EQ(Words(), StageWords({kStagePackageOpening, kStagePackageRead, kStagePayloadReady,
                                   kStageAddingFile, kStageModifyingFile}));
    EXPECT_EQ(ReadFileBytes(root_ / "first.txt"), "x");
    EXPECT_TRUE(ReadFileBytes(root_ / "d.bin") == old_);
}

TEST(DeltaEntryWalk, ChecksTheFieldsBeforeTheDeltaAndWhetherTheCodecAllowsIt) {
    const std::string oldBytes = ByteRuns(5000, 4);
    const EntrySource good = Delta("d.bin", oldBytes, Rebuilt(oldBytes));
    const auto walk = [](const EntrySource& entry, bool deltaEntries) {
        std::string payload;
        EXPECT_TRUE(EncodePayload({entry}, &payload));
        const reference::WalkReport read = reference::WalkStreamed(View(payload), deltaEntries);
        EXPECT_EQ(read.failedKind ? *read.failedKind : read.entries.at(0).kind, EntryKind::kDelta);
        return read.problem;
    };
    EXPECT_EQ(walk(good, true), EntryProblem::kNone);
    EXPECT_EQ(walk(good, false), EntryProblem::kDeltaNotAllowed);
    EntrySource otherSize = good;
    ++otherSize.preamble.newSize;  // the delta's own header says otherwise
    EXPECT_EQ(walk(otherSize, true), EntryProblem::kBadDeltaHead);
    EntrySource cut = good;
    cut.content.resize(kDeltaHeaderSize - 1);
    EXPECT_EQ(walk(cut, true), EntryProblem::kBadDeltaHead);
}

}  // namespace
