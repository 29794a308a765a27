// An installation root for applying packages: a fresh temporary folder holds
// the root (named to the apply, the working directory stays where it is) and,
// beside it, room for canary files that no package may reach. Status words
// are recorded; fault hooks are reset.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "build_codecs.h"
#include "patch/package_writer.h"
#include "patch/patch_package.h"
#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "support/status_recorder.h"
#include "support/temp_dir.h"

namespace testing_support {

inline constexpr PackedVersion kTestVersion = PackVersion(1, 2, 3);
inline constexpr const char* kTestPackage = "p.pak";

// How a post-update script's echo ends a line: cmd runs the script on
// Windows, a POSIX shell elsewhere. "echo word>> file" means the same to both.
#ifdef _WIN32
inline constexpr const char* kScriptLineEnd = "\r\n";
#else
inline constexpr const char* kScriptLineEnd = "\n";
#endif

class ApplyFixture : public ::testing::Test {
  protected:
    ApplyFixture() : root_(MakeRoot(outer_)) { platform::ResetFaults(); }
    ~ApplyFixture() override { platform::ResetFaults(); }

    // The status words of the applies so far; Record() keeps them.
    const std::vector<StatusWord>& Words() const { return recorder_.words(); }
    void ClearWords() { recorder_.Clear(); }
    StatusCallback Record() { return recorder_.callback(); }
    static std::vector<StatusWord> StageWords(std::initializer_list<::Stage> stages) {
        std::vector<StatusWord> words;
        for (const ::Stage stage : stages)
            words.push_back(StageWord(stage));
        return words;
    }

    static std::string Build(const std::vector<EntrySource>& entries,
                             PackageCodec codec = AnyCodec(),
                             PackedVersion version = kTestVersion) {
        std::string package;
        EXPECT_TRUE(BuildPackage(codec, version, entries, &package));
        return package;
    }
    void Stage(const std::string& package, const std::string& name = kTestPackage) {
        WriteFileBytes(root_ / "download" / name, package);
    }
    InstallationFolders Folders() const { return {root_.string(), (root_ / "download").string()}; }
    bool Apply(const std::string& name = kTestPackage, PackedVersion version = kTestVersion) {
        return ApplyPatchPackage(Folders(), name, version, Record());
    }
    bool StageAndApply(const std::vector<EntrySource>& entries) {
        Stage(Build(entries));
        return Apply();
    }

    // Every file and folder below the outer folder, with the files' bytes.
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> tree;
        for (const auto& item : std::filesystem::recursive_directory_iterator(outer_.path())) {
            const std::string name = item.path().lexically_relative(outer_.path()).generic_string();
            tree[name] = item.is_regular_file() ? ReadFileBytes(item.path()) : "<dir>";
        }
        return tree;
    }

    // Applies `package` and expects it refused before any entry, with
    // nothing changed.
    void ExpectRefusedWithNothingChanged(const std::string& package) {
        Stage(package);
        const auto before = Snapshot();
        ClearWords();
        EXPECT_FALSE(Apply());
        EXPECT_EQ(Words(), StageWords({kStagePackageOpening, kStagePackageRead}));
        EXPECT_EQ(Snapshot(), before);
    }

    TempDir outer_;
    std::filesystem::path root_;
    testing_support::StatusRecorder recorder_;

  private:
    static std::filesystem::path MakeRoot(const TempDir& outer) {
        std::filesystem::create_directories(outer / "root" / "download");
        return outer / "root";
    }
};

}  // namespace testing_support
