#include "patch/post_update_script.h"
#include "build_codecs.h"

#include <gtest/gtest.h>

#include "apply_fixture.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

using PostUpdateScript = ApplyFixture;

TEST_F(PostUpdateScript, RunsHiddenToItsEndBeforeItIsRemoved) {
    // The pause comes first: had the apply not waited, out.txt would not exist
    // yet. The script writes it to its working directory, the root.
#ifdef _WIN32
    // cmd has no plain sleep (ping waits a second between its echoes), and a
    // batch file cannot tell where its output goes: only the wait is checked.
    EXPECT_TRUE(StageAndApply({EntrySource::Add(
        "Special.bat", "@ping -n 2 127.0.0.1 >NUL\r\n@echo waited> out.txt\r\n@exit /b 3\r\n")}));
    EXPECT_EQ(ReadFileBytes(root_ / "out.txt"), "waited\r\n");
#else
    EXPECT_TRUE(StageAndApply({EntrySource::Add(
        "Special.bat",
        "sleep 0.2\nout=$(readlink /proc/$$/fd/1)\necho \"$out\" > out.txt\nexit 3\n")}));
    EXPECT_EQ(ReadFileBytes(root_ / "out.txt"), "/dev/null\n");
#endif
    EXPECT_FALSE(fs::exists(root_ / "Special.bat"));
}

// The updater's own folders are relative, "./" and "./download" in the
// installation; tools may name a relative root without the separator.
TEST_F(PostUpdateScript, RunsInTheRootAlsoWhenTheFoldersAreRelative) {
    struct Case {
        fs::path workingDir;
        InstallationFolders folders;
    };
    for (const Case& c : {Case{root_, InstallationFolders{}},
                          Case{outer_.path(), InstallationFolders{"root", "root/download"}}}) {
        const ScopedWorkingDir inside(c.workingDir);
#ifdef _WIN32
        const char* const printWorkingDir = "@cd> where.txt\r\n";
#else
        const char* const printWorkingDir = "pwd -P > where.txt\n";
#endif
        Stage(Build({EntrySource::Add("sub/a.txt", "a"),
                     EntrySource::Add("Special.bat", printWorkingDir)}));
        EXPECT_TRUE(ApplyPatchPackage(c.folders, kTestPackage, kTestVersion, {}));
        EXPECT_EQ(ReadFileBytes(root_ / "sub/a.txt"), "a");
        EXPECT_EQ(ReadFileBytes(root_ / "where.txt"),
                  fs::canonical(root_).string() + kScriptLineEnd);
        EXPECT_FALSE(fs::exists(root_ / "Special.bat"));
        fs::remove_all(root_ / "sub");
        fs::remove(root_ / "where.txt");
    }
}

TEST_F(PostUpdateScript, RunsOnceAfterEachPackageThatDeliversIt) {
    Stage(Build({EntrySource::Add("Special.bat", "echo one>> log.txt\n")}), "1.pak");
    Stage(Build({EntrySource::Add("Special.bat", "echo two>> log.txt\n")}), "2.pak");
    const std::string end = kScriptLineEnd;
    EXPECT_TRUE(Apply("1.pak"));
    EXPECT_EQ(ReadFileBytes(root_ / "log.txt"), "one" + end);
    EXPECT_TRUE(Apply("2.pak"));
    EXPECT_EQ(ReadFileBytes(root_ / "log.txt"), "one" + end + "two" + end);
}

TEST_F(PostUpdateScript, OneFoundBeforeTheRunRunsAfterTheFirstWalkedPackageOnly) {
    WriteFileBytes(root_ / "Special.bat", "echo early>> log.txt\n");
    Stage(Build({EntrySource::Add("a.txt", "a")}, AnyCodec(), PackVersion(9, 9, 9)));
    EXPECT_FALSE(Apply());  // rejected before its entries: no script
    EXPECT_FALSE(fs::exists(root_ / "log.txt"));

    Stage(Build({EntrySource::Add("a.txt", "a")}));
    EXPECT_TRUE(Apply());
    EXPECT_TRUE(Apply());
    EXPECT_EQ(ReadFileBytes(root_ / "log.txt"), std::string("early") + kScriptLineEnd);
    EXPECT_FALSE(fs::exists(root_ / "Special.bat"));
}

}  // namespace
