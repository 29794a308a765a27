#include "patch/post_update_script.h"

#include <gtest/gtest.h>

#include "apply_fixture.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

using PostUpdateScript = ApplyFixture;

TEST_F(PostUpdateScript, RunsHiddenToItsEndBeforeItIsRemoved) {
    // The pause comes first: had the apply not waited, out.txt would not exist yet.
    EXPECT_TRUE(StageAndApply({EntrySource::Add(
        "Special.bat",
        "sleep 0.2\nout=$(readlink /proc/$$/fd/1)\necho \"$out\" > out.txt\nexit 3\n")}));
    EXPECT_EQ(ReadFileBytes(root_ / "out.txt"), "/dev/null\n");
    EXPECT_FALSE(fs::exists(root_ / "Special.bat"));
}

TEST_F(PostUpdateScript, RunsOnceAfterEachPackageThatDeliversIt) {
    Stage(Build({EntrySource::Add("Special.bat", "echo one >> log.txt\n")}), "1.pak");
    Stage(Build({EntrySource::Add("Special.bat", "echo two >> log.txt\n")}), "2.pak");
    EXPECT_TRUE(Apply("1.pak"));
    EXPECT_EQ(ReadFileBytes(root_ / "log.txt"), "one\n");
    EXPECT_TRUE(Apply("2.pak"));
    EXPECT_EQ(ReadFileBytes(root_ / "log.txt"), "one\ntwo\n");
}

TEST_F(PostUpdateScript, OneFoundBeforeTheRunRunsAfterTheFirstWalkedPackageOnly) {
    WriteFileBytes(root_ / "Special.bat", "echo early >> log.txt\n");
    Stage(Build({EntrySource::Add("a.txt", "a")}, PackageCodec::kLzo1x, PackVersion(9, 9, 9)));
    EXPECT_FALSE(Apply());  // rejected before its entries: no script
    EXPECT_FALSE(fs::exists(root_ / "log.txt"));

    Stage(Build({EntrySource::Add("a.txt", "a")}));
    EXPECT_TRUE(Apply());
    EXPECT_TRUE(Apply());
    EXPECT_EQ(ReadFileBytes(root_ / "log.txt"), "early\n");
    EXPECT_FALSE(fs::exists(root_ / "Special.bat"));
}

}  // namespace
