#include "tree_verify.h"
#include "patch/build_codecs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "package_builder.h"
#include "tree_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::WriteFileBytes;
using tools_test::ReadTree;

constexpr PackedVersion kNewVersion = PackVersion(1, 0, 1);

class TreeVerify : public tools_test::TreeFixture {
  protected:
    TreeVerify() {
        BuildResult result;
        std::string error;
        EXPECT_TRUE(BuildPackageFromTrees(
            {oldRoot(), newRoot(), kNewVersion, testing_support::AnyCodec()}, &result, &error))
            << error;
        WriteFileBytes(package(), result.package);
    }

    fs::path package() const { return dir_ / "p.pkg"; }

    bool Verify(TreeVerifyResult* result, bool allowScript = false, bool deliversScript = false) {
        return VerifyAgainstTrees(
            {package(), kNewVersion, oldRoot(), newRoot(), deliversScript, allowScript}, result,
            &error_);
    }

    std::string error_;
};

TEST_F(TreeVerify, MatchingTreesLeaveThemUntouched) {
    TreeVerifyResult result;
    ASSERT_TRUE(Verify(&result)) << error_;
    EXPECT_TRUE(result.differences.empty());
    EXPECT_EQ(ReadTree(oldRoot()), oldFiles_);
    EXPECT_EQ(ReadTree(newRoot()), newFiles_);
}

TEST_F(TreeVerify, ReportsEveryFileThePackageDoesNotDeliver) {
    WriteFileBytes(newRoot() / "doc/readme.txt", "edited after the build\n");
    WriteFileBytes(newRoot() / "late.txt", "added after the build\n");
    fs::remove(newRoot() / "plugins/extra/deep/new.bin");
    TreeVerifyResult result;
    ASSERT_TRUE(Verify(&result)) << error_;
    EXPECT_EQ(result.differences,
              (std::vector<std::string>{"differs from NEW: doc/readme.txt",
                                        "missing after applying: late.txt",
                                        "not in NEW: plugins/extra/deep/new.bin"}));
}

TEST_F(TreeVerify, WhenThePackageShouldRemoveWhatOnlyOldHasLeftoversAreDifferences) {
    fs::create_directories(oldRoot() / "empty/nested");
    TreeVerifyResult result;
    ASSERT_TRUE(VerifyAgainstTrees(
        {package(), kNewVersion, oldRoot(), newRoot(), false, false, /*removesOldOnly=*/true},
        &result, &error_))
        << error_;
    EXPECT_EQ(result.differences,
              (std::vector<std::string>{"not in NEW: old-only.txt", "not in NEW: empty/",
                                        "not in NEW: empty/nested/"}));
}

TEST_F(TreeVerify, PackageForAnotherOldFailsToApply) {
    fs::remove(oldRoot() / "bin/app.exe");  // the target of a modify entry
    TreeVerifyResult result;
    EXPECT_FALSE(Verify(&result));
    EXPECT_NE(error_.find("apply"), std::string::npos);
}

TEST_F(TreeVerify, PostUpdateScriptRunsOnlyWhenAllowed) {
    WriteFileBytes(oldRoot() / "Special.bat", "echo ran > script-ran.txt\n");
    TreeVerifyResult result;
    EXPECT_FALSE(Verify(&result));
    EXPECT_NE(error_.find("Special.bat"), std::string::npos);
    EXPECT_FALSE(Verify(&result, false, true));

    ASSERT_TRUE(Verify(&result, true)) << error_;
    // The script ran inside the copy and was deleted there, as the updater does.
    EXPECT_EQ(result.differences, std::vector<std::string>{"not in NEW: script-ran.txt"});
    EXPECT_FALSE(fs::exists(oldRoot() / "script-ran.txt"));
}

}  // namespace
