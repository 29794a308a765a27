// What a package leaves on the disk for a power cut to find: every file it
// writes synced before it takes its name, every folder synced after a name
// in it changed, the version file moved only once all of that is done; and a
// volume without room for the package refused before anything changes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "apply_fixture.h"
#include "build_codecs.h"
#include "payload_bytes.h"
#include "support/installation_files.h"
#include "support/sync_ledger.h"

using namespace testing_support;

namespace {

class DurableApply : public ApplyFixture {
  protected:
    // Adds in new folders, a modify entry, a delta entry where the codec
    // allows one, and the version file last, as a builder orders them.
    std::string MixedPackage(PackageCodec codec) {
        WriteFileBytes(root_ / "m.txt", "0123456789");
        WriteFileBytes(root_ / "config/version.cfg", "[Main]\r\nVersion=1.0.0\r\n");
        std::vector<EntrySource> entries;
        for (int i = 0; i < 200; ++i)  // more than one batch of staged files
            entries.push_back(EntrySource::Add(
                "a/b" + std::to_string(i % 3) + "/f" + std::to_string(i), RandomBytes(100 + i, i)));
        entries.push_back(EntrySource::Modify("m.txt", {{2, "XY"}}, 40));
        if (codec == PackageCodec::kZstd) {
            const std::string old = ByteRuns(50000, 1);
            WriteFileBytes(root_ / "d.bin", old);
            EntrySource delta;
            EXPECT_TRUE(MakeDeltaEntry("d.bin", old, old + "tail", &delta));
            entries.push_back(delta);
        }
        entries.push_back(EntrySource::Add("config/version.cfg", "[Main]\r\nVersion=1.2.3\r\n"));
        return Build(entries, codec);
    }

    // Applies with the ledger watching; the applied result and the ledger.
    bool ApplyWatched(SyncLedger& ledger, ErrorCode* failure = nullptr) {
        platform::ObserveDisk(&ledger);
        const bool applied =
            ApplyPatchPackage(Folders(), kTestPackage, kTestVersion, Record(), failure);
        platform::ObserveDisk(nullptr);
        return applied;
    }
};

TEST_F(DurableApply, EveryCodecSyncsEachFileBeforeItsMoveAndTheVersionFileAfterAll) {
    for (const PackageCodec codec : CodecsInThisBuild()) {
        SCOPED_TRACE(static_cast<int>(codec));
        Stage(MixedPackage(codec));
        SyncLedger ledger(root_ / "config/version.cfg");
        EXPECT_TRUE(ApplyWatched(ledger));
        EXPECT_EQ(ledger.Breaches(), std::vector<std::string>{});
        EXPECT_TRUE(ledger.versionFileMoved());
        EXPECT_GE(ledger.moves(), 201);
        EXPECT_EQ(ReadFileBytes(root_ / "a/b1/f199"), RandomBytes(299, 199));
    }
}

TEST_F(DurableApply, LedgerCatchesAnApplyWithoutSyncs) {
    Stage(MixedPackage(PackageCodec::kBzip2));
    SyncLedger ledger(root_ / "config/version.cfg");
    platform::SkipSyncs(true);
    EXPECT_TRUE(ApplyWatched(ledger));
    platform::SkipSyncs(false);
    EXPECT_FALSE(ledger.Breaches().empty());
}

// The version file is never written in place, even by a modify entry: a
// power cut part-way would leave it torn. Made beside it instead, it must
// still come out as the same entry applied in place.
TEST_F(DurableApply, ModifiedVersionFileIsReplacedWithWhatInPlaceWouldGive) {
    struct Case {
        std::vector<DiffRecordSource> records;
        std::int32_t finalSize;
    };
    const std::string old = "[Main]\r\nVersion=1.0.0\r\n";
    for (const Case& c : {Case{{{15, "1"}}, 22}, Case{{{2, "XY"}, {30, "past the end"}}, 9},
                          Case{{{40, "gap"}}, 60}, Case{{}, 30}}) {
        WriteFileBytes(root_ / "config/version.cfg", old);
        WriteFileBytes(root_ / "in-place.cfg", old);
        struct stat before {};
        stat((root_ / "config/version.cfg").c_str(), &before);
        EXPECT_TRUE(
            StageAndApply({EntrySource::Modify("in-place.cfg", c.records, c.finalSize),
                           EntrySource::Modify("config/version.cfg", c.records, c.finalSize)}));
        EXPECT_EQ(ReadFileBytes(root_ / "config/version.cfg"),
                  ReadFileBytes(root_ / "in-place.cfg"));
        EXPECT_EQ(ReadFileBytes(root_ / "config/version.cfg").size(),
                  static_cast<std::size_t>(c.finalSize));
        struct stat after {};
        stat((root_ / "config/version.cfg").c_str(), &after);
        EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not written in place";
    }
}

TEST_F(DurableApply, VolumeWithoutRoomIsRefusedBeforeAnythingChanges) {
    // A modify entry that lengthens a 1 MiB file by 3 MiB needs those 3 MiB;
    // one that shortens it needs no more than the spare room.
    const std::string large = ByteRuns(1 << 20, 4);
    WriteFileBytes(root_ / "large.bin", large);
    const std::string grow =
        Build({EntrySource::Add("new.txt", "n"), EntrySource::Modify("large.bin", {}, 4 << 20)});
    Stage(grow);
    const auto before = Snapshot();
    platform::InjectAvailableSpace(3 << 20);
    ErrorCode failure = kOk;
    EXPECT_FALSE(ApplyPatchPackage(Folders(), kTestPackage, kTestVersion, Record(), &failure));
    EXPECT_EQ(failure, kNoRoomForPackage);
    EXPECT_EQ(Words(), StageWords({kStagePackageOpening, kStagePackageRead}));
    EXPECT_EQ(Snapshot(), before);

    platform::InjectAvailableSpace(5 << 20);
    EXPECT_TRUE(ApplyPatchPackage(Folders(), kTestPackage, kTestVersion, Record(), &failure));
    EXPECT_EQ(failure, kOk);
    EXPECT_EQ(ReadFileBytes(root_ / "large.bin").size(), std::size_t{4} << 20);

    Stage(Build({EntrySource::Modify("large.bin", {}, 1 << 20)}));
    platform::InjectAvailableSpace(2 << 20);
    EXPECT_TRUE(Apply());
    EXPECT_EQ(ReadFileBytes(root_ / "large.bin"), large);

    // A malformed entry is never applied, so the room its head claims does
    // not count: the entries before it are applied, and it fails as before.
    std::string payload;
    ASSERT_TRUE(EncodePayload({EntrySource::Add("kept.txt", "k")}, &payload));
    payload.resize(payload.size() - 4);  // the end tag
    payload += Le32(kAddTag) + Le32(0) + Le32(2) + std::string("x\0", 2) + Le32(1u << 30) + "short";
    std::string package;
    ASSERT_TRUE(PackPayload(PackageCodec::kBzip2, kTestVersion, payload, &package));
    Stage(package);
    EXPECT_FALSE(ApplyPatchPackage(Folders(), kTestPackage, kTestVersion, Record(), &failure));
    EXPECT_EQ(failure, kApplyFailed);
    EXPECT_EQ(ReadFileBytes(root_ / "kept.txt"), "k");
}

}  // namespace
