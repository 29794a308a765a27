// Replacing a file whole: the updater's add entries, its downloaded packages
// and patchtool's output all go through platform::ReplaceFile.
#include "platform/replace_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "support/temp_dir.h"
#include "support/under_wine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

using Names = std::vector<std::string>;

class ReplaceFile : public ::testing::Test {
  protected:
    ReplaceFile() { platform::ResetFaults(); }
    ~ReplaceFile() override { platform::ResetFaults(); }

    // Replaces `target` with `content`; notes what the folder held while the
    // content was written.
    bool Replace(const fs::path& target, const std::string& content,
                 platform::ReplaceFallback fallback = platform::ReplaceFallback::kNone) {
        written_ = false;
        return platform::ReplaceFile(
            target.string(),
            [&](std::FILE* file) {
                written_ = true;
                namesWhileWriting_ = FolderNames();
                return platform::WriteAllBytes(file, content.data(), content.size());
            },
            fallback);
    }

    // The names in the test's folder, sorted.
    Names FolderNames() const {
        Names names;
        for (const auto& item : fs::directory_iterator(dir_.path()))
            names.push_back(item.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    testing_support::TempDir dir_;
    bool written_ = false;
    Names namesWhileWriting_;
};

TEST_F(ReplaceFile, WritesBesideTheTargetThenPutsItInItsPlace) {
    EXPECT_TRUE(Replace(dir_ / "new.txt", "made"));
    EXPECT_EQ(namesWhileWriting_, Names{"new.txt.updating"});
    EXPECT_EQ(ReadFileBytes(dir_ / "new.txt"), "made");

    // What a killed run left staged is written again, and the old content
    // stays in place until the move.
    WriteFileBytes(dir_ / "new.txt.updating", "cut sh");
    EXPECT_TRUE(Replace(dir_ / "new.txt", ""));
    EXPECT_EQ(namesWhileWriting_, (Names{"new.txt", "new.txt.updating"}));
    EXPECT_EQ(ReadFileBytes(dir_ / "new.txt"), "");
    EXPECT_EQ(FolderNames(), Names{"new.txt"});
}

TEST_F(ReplaceFile, NameTooLongForTheSuffixIsStagedUnderTheFolderName) {
    const std::string longest(255 - 9, 'n');  // still takes ".updating"
    const std::string longer(longest + "n");
    EXPECT_TRUE(Replace(dir_ / longest, "a"));
    EXPECT_EQ(namesWhileWriting_, Names{longest + ".updating"});
    EXPECT_TRUE(Replace(dir_ / longer, "b"));
    EXPECT_EQ(namesWhileWriting_, (Names{".updating", longest}));
    EXPECT_EQ(ReadFileBytes(dir_ / longer), "b");
    EXPECT_EQ(FolderNames(), (Names{longest, longer}));
}

TEST_F(ReplaceFile, FailureLeavesTheTargetAsItWasAndNothingBeside) {
    using platform::FaultKind;
    WriteFileBytes(dir_ / "t.txt", "old");
    EXPECT_FALSE(platform::ReplaceFile((dir_ / "t.txt").string(),
                                       [](std::FILE*) { return false; }));  // a write failed
    for (const FaultKind kind : {FaultKind::kWrite, FaultKind::kClose, FaultKind::kMoveFile}) {
        platform::ResetFaults();
        platform::InjectFaultAt(kind, 1);
        EXPECT_FALSE(Replace(dir_ / "t.txt", "new")) << static_cast<int>(kind);
        EXPECT_EQ(platform::FaultCallCount(kind), 1u) << static_cast<int>(kind);
    }
    EXPECT_EQ(ReadFileBytes(dir_ / "t.txt"), "old");
    EXPECT_EQ(FolderNames(), Names{"t.txt"});
}

TEST_F(ReplaceFile, LinkPlantedAtTheStagedNameIsNeverWrittenThrough) {
#ifdef _WIN32
    GTEST_SKIP() << testing_support::kNoSymbolicLinksHere;
#endif
    const testing_support::TempDir outside;
    WriteFileBytes(outside / "victim", "kept");
    fs::create_symlink(outside / "victim", dir_ / "t.txt.updating");
    EXPECT_TRUE(Replace(dir_ / "t.txt", "new"));
    EXPECT_EQ(ReadFileBytes(outside / "victim"), "kept");
    EXPECT_EQ(ReadFileBytes(dir_ / "t.txt"), "new");
    EXPECT_FALSE(fs::is_symlink(dir_ / "t.txt"));
}

TEST_F(ReplaceFile, WithoutAStagedFileOnlyTheFallbackWritesInPlace) {
    // No file can be made where a folder with something in it stands.
    WriteFileBytes(dir_ / "t.txt.updating/kept", "");
    WriteFileBytes(dir_ / "t.txt", "old");
    EXPECT_FALSE(Replace(dir_ / "t.txt", "new"));
    EXPECT_FALSE(written_);
    EXPECT_EQ(ReadFileBytes(dir_ / "t.txt"), "old");

    EXPECT_TRUE(Replace(dir_ / "t.txt", "new", platform::ReplaceFallback::kWriteInPlace));
    EXPECT_EQ(ReadFileBytes(dir_ / "t.txt"), "new");
    EXPECT_TRUE(fs::is_directory(dir_ / "t.txt.updating"));
}

}  // namespace
