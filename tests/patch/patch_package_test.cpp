#include "patch/patch_package.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "apply_fixture.h"
#include "build_codecs.h"
#include "payload_bytes.h"
#include "support/under_wine.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// The address sanitizer keeps shadow memory for every buffer: a 4 GiB one
// costs it seconds and half a GiB, and it cannot run under an address-space cap.

std::string Encode(const std::vector<EntrySource>& entries) {
    std::string payload;
    EXPECT_TRUE(EncodePayload(entries, &payload));
    return payload;
}

// The entries without the closing zero tag, for splicing raw bytes behind them.
std::string EntriesOnly(const std::vector<EntrySource>& entries) {
    const std::string payload = Encode(entries);
    return payload.substr(0, payload.size() - 4);
}

std::string Pack(const std::string& payload, PackageCodec codec = AnyCodec()) {
    std::string package;
    EXPECT_TRUE(PackPayload(codec, kTestVersion, payload, &package));
    return package;
}

// An add entry of "x" to "ok.txt" whose name field holds `tail` after the
// name's zero byte (and a last zero byte after that).
std::string OkEntryWithNameTail(const std::string& tail) {
    std::string entry =
        EntriesOnly({EntrySource::Add("ok.txt" + std::string(1 + tail.size(), 'X'), "x")});
    constexpr std::size_t kNameStart = 12;
    entry[kNameStart + 6] = '\0';
    entry.replace(kNameStart + 7, tail.size(), tail);
    return entry;
}

const std::string kEndOfEntries(4, '\0');

std::string WithUnpackedSize(std::string package, std::uint32_t size) {
    for (int i = 0; i < 4; ++i)
        package[8 + i] = static_cast<char>(size >> (8 * i));
    return package;
}

// ---------------------------------------------------------------------------

using HeaderRejection = ApplyFixture;

TEST_F(HeaderRejection, ChangesNothingReportsOnlyPackageOpeningAndRunsNoScript) {
    WriteFileBytes(root_ / "Special.bat", "echo ran > ran.txt\n");
    const std::string good = Build({EntrySource::Add("new.txt", "x")});
    std::string badMagic = good;
    badMagic[0] = 'X';
    const std::string otherVersion =
        Build({EntrySource::Add("new.txt", "x")}, AnyCodec(), PackVersion(1, 2, 4));
    for (const std::string& package : {std::string(), good.substr(0, 11), badMagic, otherVersion}) {
        Stage(package);
        const auto before = Snapshot();
        ClearWords();
        EXPECT_FALSE(Apply());
        EXPECT_EQ(Words(), StageWords({kStagePackageOpening}));
        EXPECT_EQ(Snapshot(), before);
    }
    ClearWords();
    EXPECT_FALSE(Apply("missing.pak"));
    EXPECT_EQ(Words(), StageWords({kStagePackageOpening}));
}

// ---------------------------------------------------------------------------

using DecompressionFailure = ApplyFixture;

TEST_F(DecompressionFailure, WrongSizeOrDamagedStreamChangesNothing) {
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "line " + std::to_string(i) + "\n";
    const std::string payload = Encode({EntrySource::Add("new.txt", text)});
    const auto size = static_cast<std::uint32_t>(payload.size());
    for (const PackageCodec codec : CodecsInThisBuild()) {
        const std::string good = Pack(payload, codec);
        // Short by more than the decompressor's slack: the stream overruns it.
        const auto overrun = static_cast<std::uint32_t>(size - CodecOf(codec).unpackSlack - 1);
        for (const std::string& package :
             {WithUnpackedSize(good, size - 1), WithUnpackedSize(good, size + 1),
              WithUnpackedSize(good, overrun), good.substr(0, good.size() - 8),
              good.substr(0, kPackageHeaderSize)}) {
            ExpectRefusedWithNothingChanged(package);
        }
    }
}

TEST_F(DecompressionFailure, LzoBytesAfterTheEndMarkerAreIgnored) {
    SKIP_UNLESS_BUILD_HAS_LZO();
    Stage(Build({EntrySource::Add("new.txt", "content")}, PackageCodec::kLzo1x) + "trailing bytes");
    EXPECT_TRUE(Apply());
    EXPECT_EQ(ReadFileBytes(root_ / "new.txt"), "content");
}

TEST_F(DecompressionFailure, UnpackedSizeNear4GiBFailsCleanly) {
    if (kAddressSanitizer)
        GTEST_SKIP() << "too costly under the address sanitizer";
    Stage(WithUnpackedSize(Build({}), 0xFFFFFFF0u));
    EXPECT_FALSE(Apply());
    EXPECT_EQ(Words(), StageWords({kStagePackageOpening, kStagePackageRead}));
}

TEST_F(DecompressionFailure, BufferThatCannotBeAllocatedFailsCleanly) {
    if (kAddressSanitizer)
        GTEST_SKIP() << "the address sanitizer cannot run under the cap";
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no fork and no cap on the address space";
#else
    Stage(WithUnpackedSize(Build({}), 0xFFFFFFF0u));
    // Leave 1 GiB of address space above what is mapped now: the 4 GiB
    // buffer cannot be had, everything else can.
    EXPECT_TRUE(SucceedsUnderAddressSpaceCap(std::size_t{1} << 30, [this] { return !Apply(); }))
        << "the apply did not fail cleanly under the cap";
#endif
}

// ---------------------------------------------------------------------------

using EntryWalk = ApplyFixture;

TEST_F(EntryWalk, AddWithoutDataLeavesAnEmptyFile) {
    WriteFileBytes(root_ / "old.txt", "old content");
    EXPECT_TRUE(StageAndApply({EntrySource::Add("old.txt", ""), EntrySource::Add("new.txt", "")}));
    EXPECT_EQ(ReadFileBytes(root_ / "old.txt"), "");
    EXPECT_EQ(ReadFileBytes(root_ / "new.txt"), "");
}

TEST_F(EntryWalk, ModifyWithoutRecordsOnlySetsTheLength) {
    WriteFileBytes(root_ / "cut.bin", "0123456789");
    WriteFileBytes(root_ / "grow.bin", "abc");
    EXPECT_TRUE(StageAndApply(
        {EntrySource::Modify("cut.bin", {}, 4), EntrySource::Modify("grow.bin", {}, 6)}));
    EXPECT_EQ(ReadFileBytes(root_ / "cut.bin"), "0123");
    EXPECT_EQ(ReadFileBytes(root_ / "grow.bin"), std::string("abc\0\0\0", 6));
}

TEST_F(EntryWalk, RecordsSeekFromWhereThePreviousOneEnded) {
    WriteFileBytes(root_ / "f.bin", "0123456789");
    EXPECT_TRUE(
        StageAndApply({EntrySource::Modify("f.bin", {{2, "AB"}, {-4, "x"}, {7, "YZ"}}, 12)}));
    EXPECT_EQ(ReadFileBytes(root_ / "f.bin"), std::string("x1AB4567YZ\0\0", 12));
}

TEST_F(EntryWalk, MalformedModifyEntryFailsBeforeTouchingItsTarget) {
    WriteFileBytes(root_ / "f.bin", "0123456789");
    std::string pastData = Encode({EntrySource::Modify("f.bin", {{0, "ABCD"}}, 4)});
    pastData[26] = 5;  // the record's length, one more than the data holds
    const std::vector<std::string> payloads = {
        Encode({EntrySource::Modify("f.bin", {{3, "A"}, {-5, "B"}}, 10)}),  // position -1
        Encode({EntrySource::Modify("f.bin", {{0, "A"}}, -1)}), pastData};
    for (const std::string& payload : payloads) {
        Stage(Pack(EntriesOnly({EntrySource::Add("first.txt", "1")}) + payload));
        EXPECT_FALSE(Apply());
        EXPECT_EQ(ReadFileBytes(root_ / "first.txt"), "1");
        EXPECT_EQ(ReadFileBytes(root_ / "f.bin"), "0123456789");
    }
}

TEST_F(EntryWalk, NameFieldWithBytesAfterItsZeroByteFailsUnlessTheyAreZero) {
    Stage(Pack(OkEntryWithNameTail("anything") + kEndOfEntries));
    EXPECT_FALSE(Apply());
    EXPECT_FALSE(fs::exists(root_ / "ok.txt"));

    Stage(Pack(OkEntryWithNameTail(std::string(3, '\0')) + kEndOfEntries));
    EXPECT_TRUE(Apply());
    EXPECT_EQ(ReadFileBytes(root_ / "ok.txt"), "x");
}

// The failure is pinned on the entry it belongs to, also when the entry is
// refused before it is applied.
TEST_F(EntryWalk, BrokenEntryReportsItsStageBeforeTheFailure) {
    WriteFileBytes(root_ / "f.bin", "0123456789");
    struct Case {
        std::string entry;
        ::Stage stage;  // the fixture's Stage() hides the type
    };
    const Case cases[] = {
        {EntriesOnly({EntrySource::Add("../x", "")}), kStageAddingFile},
        {EntriesOnly({EntrySource::Modify("../x", {}, 0)}), kStageModifyingFile},
        {EntriesOnly({EntrySource::Modify("f.bin", {{-1, "A"}}, 10)}), kStageModifyingFile},
        {EntriesOnly({EntrySource::Modify("f.bin", {}, -1)}), kStageModifyingFile},
        {OkEntryWithNameTail("anything"), kStageAddingFile},
        {"FDDA", kStageAddingFile},  // the entry stops after its tag
    };
    for (const Case& c : cases) {
        Stage(Pack(EntriesOnly({EntrySource::Add("first.txt", "1")}) + c.entry + kEndOfEntries));
        ClearWords();
        EXPECT_FALSE(Apply());
        EXPECT_EQ(Words(), StageWords({kStagePackageOpening, kStagePackageRead, kStagePayloadReady,
                                       kStageAddingFile, c.stage}));
    }
}

TEST_F(EntryWalk, ModifyOfAMissingFileFailsAndMakesNoFolders) {
    EXPECT_FALSE(StageAndApply({EntrySource::Modify("a/b.txt", {{0, "x"}}, 1)}));
    EXPECT_FALSE(fs::exists(root_ / "a"));
}

TEST_F(EntryWalk, ReadOnlyTargetIsMadeWritableAndWritten) {
    for (const char* name : {"add.txt", "modify.txt"}) {
        WriteFileBytes(root_ / name, "old");
        fs::permissions(root_ / name, fs::perms::owner_read);
    }
    EXPECT_TRUE(StageAndApply(
        {EntrySource::Add("add.txt", "new"), EntrySource::Modify("modify.txt", {{0, "N"}}, 3)}));
    EXPECT_EQ(ReadFileBytes(root_ / "add.txt"), "new");
    EXPECT_EQ(ReadFileBytes(root_ / "modify.txt"), "Nld");
    for (const char* name : {"add.txt", "modify.txt"}) {
        EXPECT_NE(fs::status(root_ / name).permissions() & fs::perms::owner_write, fs::perms::none);
    }
}

TEST_F(EntryWalk, AddCreatesNestedFoldersOnlyAlongSlashes) {
    EXPECT_TRUE(StageAndApply({EntrySource::Add("a/b/c.dat", "deep")}));
    EXPECT_EQ(ReadFileBytes(root_ / "a/b/c.dat"), "deep");
    EXPECT_EQ(platform::FaultCallCount(platform::FaultKind::kMakeDirectory), 2u);

    platform::ResetFaults();
    EXPECT_FALSE(StageAndApply({EntrySource::Add("x\\y\\z.dat", "flat")}));
    EXPECT_FALSE(fs::exists(root_ / "x"));
    EXPECT_EQ(platform::FaultCallCount(platform::FaultKind::kMakeDirectory), 0u);
}

TEST_F(EntryWalk, UnknownTagKeepsEarlierEntriesAndStillRunsTheScript) {
    const std::string entries =
        EntriesOnly({EntrySource::Add("first.txt", "1"),
                     EntrySource::Add("Special.bat", "echo ran> ran.txt\n")});
    Stage(Pack(entries + "BAD!" + std::string(4, '\0')));
    EXPECT_FALSE(Apply());
    EXPECT_EQ(Words(), StageWords({kStagePackageOpening, kStagePackageRead, kStagePayloadReady,
                                   kStageAddingFile, kStageAddingFile}));
    EXPECT_EQ(ReadFileBytes(root_ / "first.txt"), "1");
    EXPECT_EQ(ReadFileBytes(root_ / "ran.txt"), std::string("ran") + kScriptLineEnd);
    EXPECT_FALSE(fs::exists(root_ / "Special.bat"));
}

TEST_F(EntryWalk, StageWordsFollowTheEntriesInOrder) {
    WriteFileBytes(root_ / "m.txt", "m");
    EXPECT_TRUE(
        StageAndApply({EntrySource::Add("a.txt", "a"), EntrySource::Modify("m.txt", {{0, "M"}}, 1),
                       EntrySource::Add("b.txt", "b")}));
    EXPECT_EQ(Words(), StageWords({kStagePackageOpening, kStagePackageRead, kStagePayloadReady,
                                   kStageAddingFile, kStageModifyingFile, kStageAddingFile}));

    ClearWords();
    EXPECT_TRUE(StageAndApply({}));
    EXPECT_EQ(Words(), StageWords({kStagePackageOpening, kStagePackageRead, kStagePayloadReady}));
}

// ---------------------------------------------------------------------------

using UnsafeName = ApplyFixture;

TEST_F(UnsafeName, FailsThePackageWithoutReachingOutsideTheRoot) {
    WriteFileBytes(outer_ / "canary.txt", "canary");
    const std::vector<std::string> names = {"../canary.txt",
                                            "..\\canary.txt",
                                            "a/../../canary.txt",
                                            "a\\..\\..\\canary.txt",
                                            (outer_ / "canary.txt").string(),
                                            "\\canary.txt",
                                            "C:canary.txt",
                                            "x:y",
                                            "",
                                            "..",
                                            "sub/.."};
    for (const std::string& name : names) {
        for (const EntrySource& entry :
             {EntrySource::Add(name, "owned"), EntrySource::Modify(name, {{0, "owned"}}, 5)}) {
            Stage(Build({EntrySource::Add("first.txt", "1"), entry, EntrySource::Add("b", "")}));
            const auto before = Snapshot();
            EXPECT_FALSE(Apply()) << name;
            EXPECT_EQ(ReadFileBytes(root_ / "first.txt"), "1");
            fs::remove(root_ / "first.txt");
            EXPECT_EQ(Snapshot(), before) << name;
        }
    }
}

// ---------------------------------------------------------------------------

using SymbolicLink = ApplyFixture;

TEST_F(SymbolicLink, LinkLeadingOutsideTheRootFailsItsEntryAndChangesNothingThere) {
#ifdef _WIN32
    GTEST_SKIP() << kNoSymbolicLinksHere;
#endif
    WriteFileBytes(outer_ / "elsewhere/old.txt", "old");
    WriteFileBytes(outer_ / "canary.txt", "canary");
    fs::permissions(outer_ / "canary.txt", fs::perms::owner_read);
    fs::create_directory_symlink(outer_ / "elsewhere", root_ / "plug");
    fs::create_directory_symlink("..", root_ / "up");
    fs::create_symlink("../canary.txt", root_ / "cfg.txt");
    fs::create_symlink(outer_ / "ghost.txt", root_ / "ghost.txt");  // leads nowhere yet
    for (const EntrySource& entry :
         {EntrySource::Add("plug/new.txt", "owned"), EntrySource::Add("plug/deep/new.txt", "owned"),
          EntrySource::Modify("plug/old.txt", {{0, "X"}}, 3),
          EntrySource::Add("up/canary.txt", "x"), EntrySource::Add("cfg.txt", "owned"),
          EntrySource::Modify("cfg.txt", {{0, "X"}}, 6), EntrySource::Add("ghost.txt", "owned")}) {
        Stage(Build({entry}));
        const auto before = Snapshot();
        EXPECT_FALSE(Apply()) << entry.name;
        EXPECT_EQ(Snapshot(), before) << entry.name;
        EXPECT_EQ(fs::status(outer_ / "canary.txt").permissions(), fs::perms::owner_read)
            << entry.name;
    }
}

TEST_F(SymbolicLink, LinksInsideTheRootStayLinksAndLeadTheWrites) {
#ifdef _WIN32
    GTEST_SKIP() << kNoSymbolicLinksHere;
#endif
    WriteFileBytes(root_ / "real/data.txt", "old");
    WriteFileBytes(root_ / "real/m.bin", "0123");
    fs::create_directory_symlink("real", root_ / "alias");
    fs::create_symlink("real/data.txt", root_ / "link.txt");
    EXPECT_TRUE(StageAndApply({EntrySource::Add("link.txt", "new"),
                               EntrySource::Add("alias/added.txt", "a"),
                               EntrySource::Modify("alias/m.bin", {{0, "AB"}}, 4)}));
    EXPECT_TRUE(fs::is_symlink(root_ / "link.txt"));
    EXPECT_EQ(ReadFileBytes(root_ / "real/data.txt"), "new");
    EXPECT_EQ(ReadFileBytes(root_ / "real/added.txt"), "a");
    EXPECT_EQ(ReadFileBytes(root_ / "real/m.bin"), "AB23");
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "real"), fs::directory_iterator()), 3);
}

// ---------------------------------------------------------------------------

using StagedFile = ApplyFixture;

TEST_F(StagedFile, NameTooLongForTheSuffixIsStillReplacedWhole) {
    // What a killed run left while staging a long name: the next one takes it over.
    WriteFileBytes(root_ / "long/.updating", "cut sh");
    for (const std::size_t length : {247u, 255u, 246u}) {
        const std::string name = "long/" + std::string(length, 'n');
        WriteFileBytes(root_ / name, "old");
        EXPECT_TRUE(StageAndApply({EntrySource::Add(name, "new")})) << length;
        EXPECT_EQ(ReadFileBytes(root_ / name), "new") << length;
        fs::remove(root_ / name);
        EXPECT_TRUE(fs::is_empty(root_ / "long")) << length;  // nothing staged stays beside
    }
}

TEST_F(StagedFile, TargetIsWrittenInPlaceWhenNoStagedFileCanBeOpened) {
    // A folder where the staged file would go; then an open that fails as it
    // does in a folder that takes no new files.
    WriteFileBytes(root_ / "blocked.txt.updating/kept", "");
    WriteFileBytes(root_ / "blocked.txt", "old");
    EXPECT_TRUE(StageAndApply({EntrySource::Add("blocked.txt", "new")}));
    EXPECT_EQ(ReadFileBytes(root_ / "blocked.txt"), "new");

    WriteFileBytes(root_ / "faulted.txt", "old");
    Stage(Build({EntrySource::Add("faulted.txt", "new")}));
    platform::ResetFaults();
    platform::InjectFaultAt(platform::FaultKind::kOpen, 2);  // the first opens the package
    EXPECT_TRUE(Apply());
    EXPECT_GE(platform::FaultCallCount(platform::FaultKind::kOpen), 2u);
    EXPECT_EQ(ReadFileBytes(root_ / "faulted.txt"), "new");
}

// ---------------------------------------------------------------------------

using FailureReporting = ApplyFixture;

TEST_F(FailureReporting, FailedWriteSeekLengthChangeOrCloseFailsThePackage) {
    using platform::FaultKind;
    const EntrySource add = EntrySource::Add("t.bin", "new content");
    const EntrySource modify = EntrySource::Modify("t.bin", {{2, "AB"}}, 12);
    struct Case {
        FaultKind kind;
        std::uint64_t nth;  // counted from the start of the apply
        const EntrySource& entry;
    };
    // The counts are those of a bzip2 package, which every build reads the
    // same way: streamed, and closed only after its last entry.
    const Case cases[] = {
        {FaultKind::kWrite, 1, add},
        {FaultKind::kWrite, 1, modify},
        {FaultKind::kClose, 1, add},
        {FaultKind::kClose, 1, modify},
        {FaultKind::kSeek, 1, modify},
        {FaultKind::kOpen, 3, modify},  // reopening for the length change
        {FaultKind::kChangeSize, 1, modify},
        {FaultKind::kClose, 2, modify},
    };
    for (const Case& c : cases) {
        WriteFileBytes(root_ / "t.bin", "0123456789");
        Stage(Build({c.entry}, PackageCodec::kBzip2));
        platform::ResetFaults();
        platform::InjectFaultAt(c.kind, c.nth);
        EXPECT_FALSE(Apply()) << static_cast<int>(c.kind) << " " << c.nth;
        EXPECT_GE(platform::FaultCallCount(c.kind), c.nth);
    }
}

TEST_F(FailureReporting, FolderOrFileStandingInTheWayFailsThePackage) {
    fs::create_directories(root_ / "dir.txt");
    WriteFileBytes(root_ / "file", "x");
    for (const EntrySource& entry :
         {EntrySource::Add("dir.txt", "x"), EntrySource::Modify("dir.txt", {}, 0),
          EntrySource::Add("file/inner.txt", "x")}) {
        EXPECT_FALSE(StageAndApply({entry})) << entry.name;
    }
    EXPECT_EQ(ReadFileBytes(root_ / "file"), "x");
}

#ifndef _WIN32
// A package may bring a new build of a program that is running (the
// updater's own). Such a file cannot be opened for writing, only replaced.
TEST_F(FailureReporting, ModifiedRunningProgramIsReplacedWhole) {
    const fs::path program = root_ / "prog";
    fs::copy_file("/bin/sleep", program);
    const std::string old = ReadFileBytes(program);
    const fs::path pidFile = root_.parent_path() / "prog.pid";
    ASSERT_EQ(std::system((program.string() + " 30 & echo $! >" + pidFile.string()).c_str()), 0);
    std::string pid = ReadFileBytes(pidFile);
    pid.erase(pid.find_last_not_of('\n') + 1);
    // Applied before the shell's child has become the program, the entry
    // would meet an ordinary file.
    std::error_code error;
    for (int wait = 0; wait < 500 && fs::read_symlink("/proc/" + pid + "/exe", error) != program;
         ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(fs::read_symlink("/proc/" + pid + "/exe", error), program);
    const auto size = static_cast<std::int32_t>(old.size());
    const bool applied = StageAndApply({EntrySource::Modify("prog", {{size, "NEW"}}, size + 3)});
    EXPECT_EQ(std::system(("kill " + pid).c_str()), 0);
    EXPECT_TRUE(applied);
    EXPECT_EQ(ReadFileBytes(program), old + "NEW");
}
#endif

TEST(NormalizePathSeparators, TurnsEverySlashIntoABackslash) {
    std::string path = "./download//a/b";
    NormalizePathSeparators(path);
    EXPECT_EQ(path, ".\\download\\\\a\\b");
}

}  // namespace
