// Check and remove entries: a package refuses an installation that is not the
// release it was made from, removes what the release no longer has, never
// through a link, and converges when applied again.
#include <gtest/gtest.h>

#include "apply_fixture.h"
#include "patch/package_format.h"
#include "platform/test_hooks.h"
#include "reference_walker.h"
#include "support/installation_files.h"
#include "support/under_wine.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

EntrySource CheckOf(const std::string& name, const std::string& oldBytes,
                    const std::string& newBytes) {
    return EntrySource::Check(name, {IdentityOf(oldBytes), IdentityOf(newBytes)});
}

class FileEntries : public ApplyFixture {
  protected:
    // Release 1 to 2: m.txt patched in place, w.txt replaced whole, gone.txt
    // and the folder old/ with a nested one removed, the version file last.
    std::string Release2() {
        return Build(
            {CheckOf("m.txt", "0123456789", "01XY456789"), CheckOf("w.txt", "whole 1", "whole 2"),
             EntrySource::Remove("old/deep/x.dat", IdentityOf("x")),
             EntrySource::Remove("old/deep", std::nullopt),
             EntrySource::Remove("old", std::nullopt),
             EntrySource::Remove("gone.txt", IdentityOf("gone")),
             EntrySource::Modify("m.txt", {{2, "XY"}}, 10), EntrySource::Add("w.txt", "whole 2"),
             EntrySource::Add("config/version.cfg", "[Main]\nVersion=2\n")},
            PackageCodec::kZstd);
    }
    void InstallRelease1() {
        WriteFileBytes(root_ / "m.txt", "0123456789");
        WriteFileBytes(root_ / "w.txt", "whole 1");
        WriteFileBytes(root_ / "gone.txt", "gone");
        WriteFileBytes(root_ / "old/deep/x.dat", "x");
        WriteFileBytes(root_ / "config/version.cfg", "[Main]\nVersion=1\n");
    }
    bool StageAndApplyZstd(const std::vector<EntrySource>& entries) {
        Stage(Build(entries, PackageCodec::kZstd));
        return Apply();
    }
    void ExpectRelease2() {
        EXPECT_EQ(ReadFileBytes(root_ / "m.txt"), "01XY456789");
        EXPECT_EQ(ReadFileBytes(root_ / "w.txt"), "whole 2");
        EXPECT_FALSE(fs::exists(root_ / "gone.txt"));
        EXPECT_FALSE(fs::exists(root_ / "old"));
        EXPECT_EQ(ReadFileBytes(root_ / "config/version.cfg"), "[Main]\nVersion=2\n");
        std::size_t staged = 0;
        for (const auto& item : fs::recursive_directory_iterator(root_))
            staged += item.path().string().ends_with(".updating") ? 1 : 0;
        EXPECT_EQ(staged, 0u);
    }
};

TEST_F(FileEntries, WrongBaseIsRefusedWithNothingChanged) {
    const std::string package = Release2();
    InstallRelease1();
    WriteFileBytes(root_ / "m.txt", "0123456780");  // same size, another file
    ExpectRefusedWithNothingChanged(package);
    InstallRelease1();
    WriteFileBytes(root_ / "w.txt", "whole 1 changed");  // guards an add entry too
    ExpectRefusedWithNothingChanged(package);
    InstallRelease1();
    WriteFileBytes(root_ / "gone.txt", "edited");  // a removed file that is not the old one
    ExpectRefusedWithNothingChanged(package);
    InstallRelease1();
    fs::remove(root_ / "m.txt");
    ExpectRefusedWithNothingChanged(package);
}

TEST_F(FileEntries, RunStoppedAtEveryMoveConvergesOnTheNextAndAgainAfterThat) {
    // Each move the apply makes (staged files, modified files moved over
    // their targets) fails in turn; the run after it must finish the job.
    for (std::uint64_t failing = 1; failing <= 3; ++failing) {
        InstallRelease1();
        Stage(Release2());
        platform::InjectFaultAt(platform::FaultKind::kMoveFile, failing);
        EXPECT_FALSE(Apply()) << failing;
        platform::ResetFaults();
        EXPECT_TRUE(Apply()) << failing;
        ExpectRelease2();
        EXPECT_TRUE(Apply()) << failing;  // all of it new or gone already
        ExpectRelease2();
    }
}

TEST_F(FileEntries, RemoveOfAMissingNameIsANoOpAndAFolderWithAUserFileStays) {
    WriteFileBytes(root_ / "plugins/old/user-notes.txt", "mine");
    WriteFileBytes(root_ / "plugins/old/shipped.dll", "dll");
    fs::create_directories(root_ / "plugins/empty/deeper");
    ClearWords();
    EXPECT_TRUE(
        StageAndApplyZstd({EntrySource::Remove("never-there.txt", IdentityOf("x")),
                           EntrySource::Remove("no/such/folder", std::nullopt),
                           EntrySource::Remove("plugins/old/shipped.dll", IdentityOf("dll")),
                           EntrySource::Remove("plugins/old", std::nullopt),
                           EntrySource::Remove("plugins/empty/deeper", std::nullopt),
                           EntrySource::Remove("plugins/empty", std::nullopt)}));
    EXPECT_EQ(Words().size(), 3u + 6u);  // each reports modifying a file
    EXPECT_EQ(Words().back(), StageWord(kStageModifyingFile));
    EXPECT_EQ(ReadFileBytes(root_ / "plugins/old/user-notes.txt"), "mine");
    EXPECT_FALSE(fs::exists(root_ / "plugins/old/shipped.dll"));
    EXPECT_FALSE(fs::exists(root_ / "plugins/empty"));
    // A folder where a file is expected is not that file.
    ExpectRefusedWithNothingChanged(
        Build({EntrySource::Remove("plugins/old", IdentityOf(""))}, PackageCodec::kZstd));
}

TEST_F(FileEntries, RemoveTakesALinkItselfAndNeverReachesOutside) {
#ifdef _WIN32
    GTEST_SKIP() << kNoSymbolicLinksHere;
#endif
    WriteFileBytes(outer_ / "elsewhere/kept.txt", "outside");
    fs::create_symlink(outer_ / "elsewhere/kept.txt", root_ / "file-link");
    fs::create_directory_symlink(outer_ / "elsewhere", root_ / "folder-link");
    EXPECT_TRUE(StageAndApplyZstd({EntrySource::Remove("file-link", std::nullopt),
                                   EntrySource::Remove("folder-link", std::nullopt)}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "file-link")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "folder-link")));
    EXPECT_EQ(ReadFileBytes(outer_ / "elsewhere/kept.txt"), "outside");

    // Through a folder that leads outside, nothing is removed at all.
    fs::create_directory_symlink(outer_ / "elsewhere", root_ / "folder-link");
    for (const std::optional<FileIdentity>& expected :
         {std::optional<FileIdentity>(), std::optional(IdentityOf("outside"))}) {
        ExpectRefusedWithNothingChanged(
            Build({EntrySource::Remove("gone-anyway.txt", std::nullopt),
                   EntrySource::Remove("folder-link/kept.txt", expected)},
                  PackageCodec::kZstd));
    }
    // A link where the old release had a file is not that file.
    ExpectRefusedWithNothingChanged(
        Build({EntrySource::Remove("folder-link", IdentityOf("outside"))}, PackageCodec::kZstd));
}

TEST(FileEntryWalk, BothReadersAgreeAndAnOlderReaderStopsAtTheFirstEntry) {
    std::string payload;
    ASSERT_TRUE(EncodePayload(
        {CheckOf("a", "1", "2"), EntrySource::Remove("b", IdentityOf("b")),
         EntrySource::Remove("c", std::nullopt), EntrySource::Modify("a", {{0, "2"}}, 1)},
        &payload));
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
    const reference::WalkReport whole = reference::WalkWholeBuffer(bytes, true);
    EXPECT_EQ(whole.entries.size(), 4u);
    EXPECT_EQ(whole, reference::WalkStreamed(bytes, true, 7)) << reference::Describe(whole);

    // Before these kinds, the check entry's tag was unknown: nothing to apply.
    const reference::WalkReport older = reference::WalkWholeBuffer(bytes, true, false);
    EXPECT_TRUE(older.entries.empty());
    EXPECT_EQ(older.problem, EntryProblem::kUnknownTag);
    EXPECT_EQ(older.failedOffset, 0u);

    const reference::WalkReport bzip2 = reference::WalkWholeBuffer(bytes, false);
    EXPECT_EQ(bzip2.problem, EntryProblem::kKindNotAllowed);
    EXPECT_EQ(bzip2, reference::WalkStreamed(bytes, false, 5));

    // Fields of a length neither kind takes: the check entry's data one byte
    // short (its length field and the end tag after it moved up), and a
    // remove entry's one byte long.
    // The data length follows the tag, the final size and the name field "a".
    constexpr std::size_t kDataLengthAt = 4 + 4 + 4 + 2;
    std::string cut = payload;
    cut[kDataLengthAt] = 79;
    std::string longer;
    ASSERT_TRUE(EncodePayload({EntrySource::Remove("c", std::nullopt)}, &longer));
    longer[kDataLengthAt] = 1;
    longer.insert(kDataLengthAt + 4, "z");
    for (const std::string& broken : {cut, longer}) {
        const ByteView view(reinterpret_cast<const std::uint8_t*>(broken.data()), broken.size());
        const reference::WalkReport report = reference::WalkWholeBuffer(view, true);
        EXPECT_EQ(report.problem, EntryProblem::kBadFileFields) << reference::Describe(report);
        EXPECT_EQ(report, reference::WalkStreamed(view, true, 3));
    }
}

}  // namespace
