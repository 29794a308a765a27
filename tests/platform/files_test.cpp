// Whether a path stays inside a folder once its symbolic links are followed:
// the updater asks before it writes anything a package or a download names.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/temp_dir.h"
#include "support/under_wine.h"

namespace fs = std::filesystem;
using testing_support::ScopedWorkingDir;
using testing_support::TempDir;

namespace {

// outer/root holds links that stay inside it and links that lead out to
// outer/out; "none" exists nowhere.
class ResolvesInside : public ::testing::Test {
  protected:
#ifdef _WIN32
    void SetUp() override {
        GTEST_SKIP() << testing_support::kNoSymbolicLinksHere;
    }
#else
    ResolvesInside() {
        fs::create_directories(root_ / "sub");
        fs::create_directories(outer_ / "out");
        fs::create_directory_symlink("sub", root_ / "in");
        fs::create_symlink("sub/none", root_ / "dangling_in");
        fs::create_directory_symlink("../out", root_ / "outlink");
        fs::create_symlink(outer_ / "out/none", root_ / "dangling_out");
        fs::create_symlink("dangling_out", root_ / "chain");
        fs::create_symlink("loop", root_ / "loop");
    }
#endif

    bool Inside(const std::string& path) const {
        return platform::ResolvesInside(root_.string(), path);
    }

    TempDir outer_;
    const fs::path root_ = outer_ / "root";
};

TEST_F(ResolvesInside, JudgesAPathByWhereItsLinksLead) {
    const std::string root = root_.string();
    for (const std::string& inside :
         {root, root + "/", root + "/missing/deeper/x", root + "/in/x", root + "\\in\\x",
          root + "/dangling_in", root + "/sub/../in/x"}) {
        EXPECT_TRUE(Inside(inside)) << inside;
    }
    for (const std::string& outside :
         {root + "/outlink", root + "/outlink/new/x", root + "/dangling_out", root + "/chain",
          root + "/loop", root + "/in/../../x", root + "/missing/../../x", root + "/..",
          (outer_ / "rootless").string()}) {
        EXPECT_FALSE(Inside(outside)) << outside;
    }
    EXPECT_FALSE(platform::ResolvesInside((outer_ / "none").string(), (outer_ / "none").string()));
}

TEST_F(ResolvesInside, GivesWhereARelativePathLeads) {
    ScopedWorkingDir workingDir(outer_.path());
    std::string resolved;
    EXPECT_TRUE(platform::ResolvesInside("root", "root\\in/new.txt", &resolved));
    EXPECT_EQ(resolved, (root_ / "sub/new.txt").string());
    EXPECT_TRUE(platform::ResolvesInside(".\\root\\", "./root/dangling_in", &resolved));
    EXPECT_EQ(resolved, (root_ / "sub/none").string());
    EXPECT_FALSE(platform::ResolvesInside("root", "root/sub/../../out"));
}

}  // namespace
