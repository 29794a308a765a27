#include "package_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "package_summary.h"
#include "patch/build_codecs.h"
#include "patch/patch_package.h"
#include "support/under_wine.h"
#include "tree_fixture.h"
#include "tree_verify.h"
#include "utf8_path.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
using tools_test::RandomBytes;
using tools_test::ReadTree;
using tools_test::WriteTree;

constexpr PackedVersion kNewVersion = PackVersion(1, 0, 1);

ByteView View(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

class PackageBuilder : public tools_test::TreeFixture,
                       public ::testing::WithParamInterface<PackageCodec> {
  protected:
    BuildResult Build(const fs::path& oldRoot, const fs::path& newRoot) {
        BuildResult result;
        std::string error;
        EXPECT_TRUE(
            BuildPackageFromTrees({oldRoot, newRoot, kNewVersion, GetParam()}, &result, &error))
            << error;
        return result;
    }
    BuildResult Build() { return Build(oldRoot(), newRoot()); }

    std::string BuildError() {
        BuildResult result;
        std::string error;
        EXPECT_FALSE(BuildPackageFromTrees({oldRoot(), newRoot(), kNewVersion, GetParam()}, &result,
                                           &error));
        return error;
    }

    // Applies the package to a fresh copy of OLD, the way an update run does,
    // and returns the installation's files afterwards.
    std::map<std::string, std::string> ApplyToCopyOfOld(const std::string& package, int times) {
        const TempDir installation;
        WriteTree(installation.path(), oldFiles_);
        WriteFileBytes(installation / "download/p.pkg", package);
        const InstallationFolders folders{installation.path().string(),
                                          (installation / "download").string()};
        for (int i = 0; i < times; ++i)
            EXPECT_TRUE(ApplyPatchPackage(folders, "p.pkg", kNewVersion, {}));
        fs::remove_all(installation / "download");
        return ReadTree(installation.path());
    }

    // NEW, and the file only OLD has unless the codec's packages remove it.
    std::map<std::string, std::string> NewPlusOldOnly() {
        std::map<std::string, std::string> expected = newFiles_;
        if (!RemovesOldOnly())
            expected["old-only.txt"] = oldFiles_["old-only.txt"];
        return expected;
    }
    static bool RemovesOldOnly() { return CodecOf(GetParam()).deltaEntries; }
};

TEST_P(PackageBuilder, AppliedPackageTurnsOldIntoNew) {
    const BuildResult result = Build();
    EXPECT_EQ(ApplyToCopyOfOld(result.package, 1), NewPlusOldOnly());
    // A run cut short applies the whole package again on its next start.
    EXPECT_EQ(ApplyToCopyOfOld(result.package, 2), NewPlusOldOnly());
}

TEST_P(PackageBuilder, VerifiesAgainstTheTrees) {
    const BuildResult result = Build();
    WriteFileBytes(dir_ / "p.pkg", result.package);
    TreeVerifyResult verified;
    std::string error;
    ASSERT_TRUE(
        VerifyAgainstTrees({dir_ / "p.pkg", kNewVersion, oldRoot(), newRoot()}, &verified, &error))
        << error;
    EXPECT_TRUE(verified.differences.empty());
}

TEST_P(PackageBuilder, EntriesForChangedFilesOnlyVersionFileLast) {
    const BuildResult result = Build();
    PackageSummary summary;
    std::string error;
    ASSERT_TRUE(SummarizePackage(View(result.package), &summary, &error)) << error;
    std::vector<std::string> names, checked, removed;
    std::vector<EntrySummary> changes;
    for (const EntrySummary& entry : summary.entries) {
        if (entry.kind == EntryKind::kCheck) {
            checked.push_back(entry.name);
        } else if (entry.kind == EntryKind::kRemove) {
            removed.push_back(entry.name);
        } else {
            names.push_back(entry.name);
            changes.push_back(entry);
        }
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"bin/app.exe", "data/emptied.dat", "data/grows.dat",
                                        "data/rewritten.dat", "data/shrinks.dat", "doc/readme.txt",
                                        "logs/new-and-empty.log", "plugins/extra/deep/new.bin",
                                        "zz-last-by-name.txt", "config/version.cfg"}));
    EXPECT_EQ(result.unchangedFiles, 1u);
    if (RemovesOldOnly()) {
        // Every changed file not made by a delta entry is checked, by a
        // check entry right before its own; the removes lead.
        std::vector<std::string> unchecked;
        for (const EntrySummary& entry : changes) {
            if (entry.kind != EntryKind::kDelta && oldFiles_.count(entry.name) != 0)
                unchecked.push_back(entry.name);
        }
        EXPECT_EQ(checked, unchecked);
        for (std::size_t i = 0; i + 1 < summary.entries.size(); ++i) {
            if (summary.entries[i].kind == EntryKind::kCheck) {
                EXPECT_EQ(summary.entries[i + 1].name, summary.entries[i].name);
            }
        }
        EXPECT_EQ(summary.entries.front().kind, EntryKind::kRemove);
        EXPECT_EQ(removed, std::vector<std::string>{"old-only.txt"});
        return;
    }
    EXPECT_TRUE(checked.empty() && removed.empty());
    EXPECT_EQ(changes[0].kind, EntryKind::kModify);  // five bytes of 300000 changed
    EXPECT_EQ(changes[0].records, 4u);               // two of them close enough to merge
    EXPECT_EQ(changes[3].kind, EntryKind::kAdd);     // rewritten whole
}

// An updater that predates check entries applies what comes before the
// first one; without removes to lead, a checked file and its check do.
TEST_P(PackageBuilder, WithoutRemovesAZstdPackageStartsWithACheck) {
    if (!CodecOf(GetParam()).deltaEntries)
        GTEST_SKIP() << "only zstd packages carry check entries";
    fs::remove(oldRoot() / "old-only.txt");
    WriteFileBytes(newRoot() / "a-new-file-sorts-first.txt", "new\n");
    const BuildResult result = Build();
    PackageSummary summary;
    std::string error;
    ASSERT_TRUE(SummarizePackage(View(result.package), &summary, &error)) << error;
    ASSERT_GE(summary.entries.size(), 3u);
    EXPECT_EQ(summary.entries[0].kind, EntryKind::kCheck);
    EXPECT_EQ(summary.entries[1].name, summary.entries[0].name);
    EXPECT_EQ(summary.entries.back().name, "config/version.cfg");
}

TEST_P(PackageBuilder, SameTreesGiveTheSameBytes) {
    const BuildResult first = Build();
    // The same files written in the opposite order.
    const TempDir copy;
    for (auto it = newFiles_.rbegin(); it != newFiles_.rend(); ++it) {
        WriteFileBytes(copy / it->first, it->second);
    }
    EXPECT_EQ(Build(oldRoot(), copy.path()).package, first.package);
    EXPECT_EQ(Build().package, first.package);
}

TEST_P(PackageBuilder, WarnsAboutWhatItCannotCarry) {
#ifdef _WIN32
    GTEST_SKIP() << testing_support::kNoSymbolicLinksHere;
#endif
    WriteFileBytes(dir_ / "outside.txt", "not part of the tree");
    fs::create_symlink(dir_ / "outside.txt", newRoot() / "link.txt");
    const BuildResult result = Build();
    const auto warned = [&](const std::string& part) {
        for (const std::string& line : result.warnings) {
            if (line.find(part) != std::string::npos)
                return true;
        }
        return false;
    };
    EXPECT_EQ(warned("old-only.txt"), !RemovesOldOnly());  // removed instead
    EXPECT_TRUE(warned("link.txt"));
    EXPECT_EQ(ApplyToCopyOfOld(result.package, 1).count("link.txt"), 0u);
}

TEST_P(PackageBuilder, RefusesNamesTheUpdaterWouldWriteElsewhere) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows file names cannot hold \\ or :, so no tree there has such names";
#endif
    for (const std::string name : {"..\\..\\escape.txt", "bin\\tool.exe", "c:drive.txt"}) {
        WriteFileBytes(newRoot() / name, "x");
        EXPECT_NE(BuildError().find(name), std::string::npos) << name;
        fs::remove(newRoot() / name);
    }
}

TEST_P(PackageBuilder, RefusesAVersionFileThatDisagrees) {
    WriteFileBytes(newRoot() / "config/version.cfg", "[Main]\nVersion=1.0.2\n");
    EXPECT_NE(BuildError().find("1.0.2"), std::string::npos);
}

TEST_P(PackageBuilder, MissingOrNonFolderTreeIsAnError) {
    fs::remove_all(oldRoot());
    EXPECT_NE(BuildError().find("old"), std::string::npos);
    WriteFileBytes(oldRoot(), "a file, not a folder");
    EXPECT_NE(BuildError().find("not a folder"), std::string::npos);
}

TEST_P(PackageBuilder, ChoosesTheSmallerEncodedEntry) {
    const std::string big = RandomBytes(100000, 11);
    std::string touched = big;
    touched[50000] ^= 1;
    EXPECT_EQ(ChooseEntry("f", big, touched, GetParam()).kind, EntryKind::kModify);
    EXPECT_EQ(ChooseEntry("f", big, RandomBytes(100000, 12), GetParam()).kind, EntryKind::kAdd);
    // Compressible content: sending it whole beats records full of new bytes.
    EXPECT_EQ(ChooseEntry("f", big, std::string(100000, 'a'), GetParam()).kind, EntryKind::kAdd);
}

// Entry names are UTF-8 with "/" whatever the system's own encoding and
// separator, and the trees are read and compared under those names.
TEST_P(PackageBuilder, NamesOutsideAsciiKeepTheirUtf8Bytes) {
    const std::string accented = "data/\xC3\xA9t\xC3\xA9.txt";      // data/été.txt
    const std::string spaced = "my folder/gr\xC3\xBC\xC3\x9F.txt";  // my folder/grüß.txt
    WriteFileBytes(newRoot() / PathFromUtf8(accented), "summer\n");
    WriteFileBytes(newRoot() / PathFromUtf8(spaced), "hello\n");
    const BuildResult result = Build();
    PackageSummary summary;
    std::string error;
    ASSERT_TRUE(SummarizePackage(View(result.package), &summary, &error)) << error;
    std::vector<std::string> names;
    for (const EntrySummary& entry : summary.entries)
        names.push_back(entry.name);
    EXPECT_NE(std::find(names.begin(), names.end(), accented), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), spaced), names.end());

    WriteFileBytes(dir_ / "p.pkg", result.package);
    TreeVerifyResult verified;
    ASSERT_TRUE(
        VerifyAgainstTrees({dir_ / "p.pkg", kNewVersion, oldRoot(), newRoot()}, &verified, &error))
        << error;
    EXPECT_TRUE(verified.differences.empty());
}

INSTANTIATE_TEST_SUITE_P(EveryCodec, PackageBuilder,
                         ::testing::ValuesIn(testing_support::CodecsInThisBuild()),
                         [](const auto& test) { return std::string(CodecOf(test.param).name); });

}  // namespace
