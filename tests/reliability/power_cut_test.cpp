// Power cuts. A whole update run, in-process in a forked child, is stopped by
// a simulated power cut (support/power_cut.h) at every point where it is
// about to change the disk, and the installation is rebuilt as the disk could
// hold it then: every unsynced change lost, every name change kept over
// unsynced data, or the interrupted write torn. Run again, the update must
// bring the installation to the new version byte for byte, or find it still
// exactly the old version (or the one between), which one more run completes.
// What it must never leave is a version file naming the new version over
// files that are not new: no later run would repair that. Files synced before
// they take their final names, folders synced after, and the version file
// replaced only once everything else of its package is durable are what make
// this hold.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/test_hooks.h"
#include "published_update.h"
#include "support/power_cut.h"
#include "vocabulary/error_codes.h"
#include "whole_run.h"

namespace reliability {
namespace {

namespace fs = std::filesystem;
using platform::DiskChange;
using testing_support::CutOutcome;
using testing_support::NameOf;
using testing_support::PowerCutDisk;
using testing_support::PowerCutMode;
using testing_support::RunWithPowerCut;
using testing_support::TempDir;

using enum PowerCutMode;

constexpr std::array kModes = {kLost, kNamesKept, kTorn};

// ---------------------------------------------------------------------------
// The simulation itself, on a short script of platform calls.

// Replaces a.txt by a file written beside it in two writes, removes gone.txt,
// writes fresh.txt (likely on the freed inode) and makes a folder. Points:
// 1 create, 2 write, 3 write, 4 move, 5 remove, 6 create, 7 write, 8 make
// folder, 9 the end. `synced`: the new a.txt is synced before its move and
// the folder after, which makes them points 4 and 6 and the rest two later.
void ReplaceAndRemove(const fs::path& root, bool synced) {
    const std::string staged = (root / "b.tmp").string();
    std::FILE* file = platform::OpenFile(staged, "wb");
    platform::WriteFile("NEW", 1, 3, file);
    platform::WriteFile("DATA!!", 1, 6, file);
    if (synced)
        platform::SyncFile(file);
    platform::CloseFile(file);
    platform::MoveFileOver(staged, (root / "a.txt").string());
    if (synced)
        platform::SyncFolder(root.string());
    platform::RemoveFile((root / "gone.txt").string());
    file = platform::OpenFile((root / "fresh.txt").string(), "wb");
    platform::WriteFile("fresh", 1, 5, file);
    platform::CloseFile(file);
    platform::MakeDirectory((root / "end").string());
}

const Tree kScriptStart = {{"a.txt", "old"}, {"gone.txt", "start"}};

void WriteScriptStart(const TempDir& dir) {
    for (const auto& [name, bytes] : kScriptStart)
        testing_support::WriteFileBytes(dir / name, bytes);
}

TEST(PowerCutModel, EveryChangeAndSyncIsAPointInOrder) {
    const TempDir dir;
    WriteScriptStart(dir);
    const PowerCutDisk disk(dir.path());
    ReplaceAndRemove(dir.path(), true);
    EXPECT_EQ(disk.points(),
              (std::vector{DiskChange::kCreateFile, DiskChange::kWrite, DiskChange::kWrite,
                           DiskChange::kSyncFile, DiskChange::kMove, DiskChange::kSyncFolder,
                           DiskChange::kRemove, DiskChange::kCreateFile, DiskChange::kWrite,
                           DiskChange::kMakeFolder}));
    EXPECT_EQ(disk.error(), "");
}

TEST(PowerCutModel, EachModeLeavesWhatTheDiskCouldHold) {
    struct Case {
        bool synced;
        std::uint64_t point;
        PowerCutMode mode;
        Tree left;
    };
    const Tree replaced = {{"a.txt", "NEWDATA!!"}, {"gone.txt", "start"}};
    const std::vector<Case> cases = {
        // Half the second write lands behind the flushed first one.
        {false, 3, kTorn, {{"a.txt", "old"}, {"b.tmp", "NEWDAT"}, {"gone.txt", "start"}}},
        {false, 8, kLost, kScriptStart},
        // The moved file's data never arrived; the new file on the freed
        // inode is new, not gone.txt's old content.
        {false, 8, kNamesKept, {{"a.txt", ""}, {"fresh.txt", ""}}},
        {false, 8, kTorn, {{"a.txt", "NEWDATA!!"}, {"fresh.txt", "fresh"}}},
        // After the last change, its folder included.
        {false, 9, kNamesKept, {{"a.txt", ""}, {"end/", ""}, {"fresh.txt", ""}}},
        // A sync cut short, then one that took effect, under a name that did
        // not yet.
        {true, 4, kNamesKept, {{"a.txt", "old"}, {"b.tmp", ""}, {"gone.txt", "start"}}},
        {true, 5, kNamesKept, {{"a.txt", "old"}, {"b.tmp", "NEWDATA!!"}, {"gone.txt", "start"}}},
        // The folder's sync cut short, then taken effect.
        {true, 6, kLost, kScriptStart},
        {true, 7, kLost, replaced},
        // The remove came after the folder's last sync.
        {true, 10, kLost, replaced},
        {true, 10, kNamesKept, {{"a.txt", "NEWDATA!!"}, {"fresh.txt", ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(NameOf(c.mode)) + " at point " + std::to_string(c.point) +
                     (c.synced ? ", synced" : ""));
        const TempDir dir;
        WriteScriptStart(dir);
        EXPECT_EQ(RunWithPowerCut(dir.path(), c.point, c.mode,
                                  [&] { ReplaceAndRemove(dir.path(), c.synced); }),
                  CutOutcome::kCut);
        EXPECT_EQ(ReadTree(dir.path()), c.left);
    }
}

TEST(PowerCutModel, ARunWithFewerPointsEndsUncut) {
    const TempDir dir;
    EXPECT_EQ(RunWithPowerCut(dir.path(), 12, kLost, [&] { ReplaceAndRemove(dir.path(), true); }),
              CutOutcome::kRanToEnd);
}

// ---------------------------------------------------------------------------
// Whole update runs.

// The version an installation's version file names.
std::string VersionOf(const Tree& tree) {
    const auto file = tree.find("config/version.cfg");
    if (file == tree.end())
        return "no version file";
    const std::string version =
        platform::ReadProfileStringFromText(file->second, "Main", "Version", "", 64);
    return version.empty() ? "a version file naming no version"
                           : "a version file naming " + version;
}

// How `tree` differs from `wanted`, for a failure message.
std::string Difference(const Tree& tree, const Tree& wanted) {
    std::string text = VersionOf(tree) + ", unlike the new version in";
    Tree both = tree;
    both.insert(wanted.begin(), wanted.end());
    for (const auto& [name, bytes] : both) {
        const auto have = tree.find(name);
        const auto want = wanted.find(name);
        if (have == tree.end())
            text += " " + name + " (missing)";
        else if (want == wanted.end())
            text += " " + name + " (extra)";
        else if (have->second != want->second)
            text += " " + name + " (" + std::to_string(have->second.size()) + " bytes, not " +
                    std::to_string(want->second.size()) + ")";
    }
    return text;
}

// What the run was about to do at `point`; one more than the run's changes
// is its end.
std::string PointName(const std::vector<DiskChange>& points, std::uint64_t point) {
    return "point " + std::to_string(point) + " (" +
           (point > points.size() ? "end of the run" : NameOf(points[point - 1])) + ")";
}

class SyncsSkipped {
  public:
    SyncsSkipped() { platform::SkipSyncs(true); }
    ~SyncsSkipped() { platform::SkipSyncs(false); }
    SyncsSkipped(const SyncsSkipped&) = delete;
    SyncsSkipped& operator=(const SyncsSkipped&) = delete;
};

struct Cut {
    std::uint64_t point = 0;
    PowerCutMode mode = kLost;
};

struct Verdict {
    bool cut = false;         // the cut came as simulated, and the runs after it were judged
    bool midPackage = false;  // it left the installation at no version at all
    std::string wrong;        // what went wrong, empty when the installation converged
};

// What the sweep over one published update found.
struct SweepResult {
    std::size_t points = 0;
    int midPackage = 0;
    std::array<int, kModes.size()> cuts{};
    std::array<int, kModes.size()> converged{};
    std::vector<std::string> broken;  // each with its point, kind and mode
};

class PowerCut : public ::testing::Test {
  protected:
    static void TearDownTestSuite() { updates_.clear(); }

    // Small files: every point costs a cut run and up to two more, and the
    // size of a file changes little but the number of writes. The first
    // package packed with `codec`; "zstd" gives it a delta entry.
    static const PublishedUpdate& Update(const std::string& codec) {
        std::unique_ptr<PublishedUpdate>& update = updates_[codec];
        if (!update)
            update = std::make_unique<PublishedUpdate>(16, "", 0, codec);
        return *update;
    }

    // The kind of every point of a run nobody cuts, which must succeed. A run
    // without `syncs` has no sync points.
    static std::vector<DiskChange> PointsOfCleanRun(const PublishedUpdate& update, bool syncs) {
        const SandboxedRoot sandbox(update.oldVersion());
        const PowerCutDisk disk(sandbox.root());
        platform::SkipSyncs(!syncs);
        EXPECT_TRUE(RunWholeUpdate(sandbox.root()).Succeeded());
        platform::SkipSyncs(false);
        EXPECT_EQ(ReadTree(sandbox.root()), update.newVersion());
        EXPECT_EQ(disk.error(), "");
        return disk.points();
    }

    // The clean runs after a cut: what is wrong with where they end, empty
    // when the installation converged. No power fails during them, so their
    // syncs would only cost time.
    static std::string Recover(const PublishedUpdate& update, const fs::path& root) {
        const SyncsSkipped skipped;
        const RunRecord rerun = RunWholeUpdate(root);
        const Tree after = ReadTree(root);
        if (after == update.newVersion()) {
            // Cut after its last change, the run left the new version.
            return rerun.Succeeded() || rerun.ErrorCode() == kNothingNewer
                       ? ""
                       : "the rerun ended with error " + std::to_string(rerun.ErrorCode());
        }
        if (after != update.oldVersion() && after != update.middleVersion())
            return "the rerun left " + Difference(after, update.newVersion());
        RunWholeUpdate(root);
        const Tree last = ReadTree(root);
        return last == update.newVersion()
                   ? ""
                   : "a further run left " + Difference(last, update.newVersion());
    }

    // A run cut at `cut` and the clean runs after it. Without `syncs`, every
    // sync of the cut run does nothing.
    static Verdict CutAndRecover(const PublishedUpdate& update, Cut cut, bool syncs) {
        const SandboxedRoot sandbox(update.oldVersion());
        const CutOutcome outcome = RunWithPowerCut(sandbox.root(), cut.point, cut.mode, [&] {
            platform::SkipSyncs(!syncs);
            RunWholeUpdate(sandbox.root());
        });
        if (outcome == CutOutcome::kRanToEnd)
            return {false, false, "the run ended before the point"};
        if (outcome == CutOutcome::kFailed)
            return {false, false, "the simulated cut failed"};
        if (!sandbox.OutsideUnchanged())
            return {false, false, "the cut changed files outside the installation"};
        const Tree afterCut = ReadTree(sandbox.root());
        const bool midPackage = afterCut != update.oldVersion() &&
                                afterCut != update.middleVersion() &&
                                afterCut != update.newVersion();
        return {true, midPackage, Recover(update, sandbox.root())};
    }

    // Every point of the run, its end included, in every mode.
    static SweepResult Sweep(const PublishedUpdate& update, const std::vector<DiskChange>& points) {
        SweepResult result;
        result.points = points.size() + 1;
        for (std::uint64_t point = 1; point <= result.points; ++point) {
            for (std::size_t mode = 0; mode < kModes.size(); ++mode) {
                const Verdict verdict = CutAndRecover(update, {point, kModes[mode]}, true);
                ++result.cuts[mode];
                result.midPackage += verdict.midPackage ? 1 : 0;
                result.converged[mode] += verdict.wrong.empty() ? 1 : 0;
                if (!verdict.wrong.empty()) {
                    result.broken.push_back(PointName(points, point) + ", " + NameOf(kModes[mode]) +
                                            ": " + verdict.wrong);
                }
            }
        }
        return result;
    }

    static void Report(const std::string& codec, const SweepResult& result) {
        int cuts = 0;
        int converged = 0;
        for (std::size_t mode = 0; mode < kModes.size(); ++mode) {
            cuts += result.cuts[mode];
            converged += result.converged[mode];
        }
        std::printf(
            "power cut: %zu points with a first package in %s, %d of %d cuts converged (lost %d, "
            "names-kept %d, torn %d; %d in the middle of a package)\n",
            result.points, codec.c_str(), converged, cuts, result.converged[0], result.converged[1],
            result.converged[2], result.midPackage);
        constexpr std::size_t kShown = 20;
        for (std::size_t i = 0; i < result.broken.size() && i < kShown; ++i)
            ADD_FAILURE() << result.broken[i];
        EXPECT_TRUE(result.broken.empty()) << result.broken.size() << " cuts did not converge";
        EXPECT_GT(result.midPackage, 0) << "no cut left a package half applied";
    }

    void SweepAndReport(const std::string& codec) {
        const PublishedUpdate& update = Update(codec);
        ASSERT_TRUE(update.ready()) << update.error();
        const std::vector<DiskChange> points = PointsOfCleanRun(update, true);
        ASSERT_FALSE(HasFailure()) << "the run must succeed uncut first";
        Report(codec, Sweep(update, points));
    }

    static std::map<std::string, std::unique_ptr<PublishedUpdate>> updates_;
};

std::map<std::string, std::unique_ptr<PublishedUpdate>> PowerCut::updates_;

TEST_F(PowerCut, CutAnywhereInAnUpdateOfWholeFilesAndRecordsConverges) {
    SweepAndReport(testing_support::AnyCodecName());
}

TEST_F(PowerCut, CutAnywhereInAnUpdateWithADeltaEntryConverges) {
    SweepAndReport("zstd");
}

// The simulation can fail: an updater whose syncs do nothing leaves, after
// some cut with the names kept, a tree no later run repairs. The sweep goes
// from the end of the run back, where the version file is already replaced.
TEST_F(PowerCut, AnUpdaterWithoutSyncsIsCaught) {
    const PublishedUpdate& update = Update(testing_support::AnyCodecName());
    ASSERT_TRUE(update.ready()) << update.error();
    const std::vector<DiskChange> points = PointsOfCleanRun(update, false);
    ASSERT_FALSE(HasFailure()) << "the run must succeed uncut first";
    Verdict verdict;
    std::uint64_t point = points.size() + 2;
    while (verdict.wrong.empty() && --point > 0) {
        verdict = CutAndRecover(update, {point, kNamesKept}, false);
        ASSERT_TRUE(verdict.cut || verdict.wrong.empty()) << verdict.wrong;
    }
    ASSERT_GT(point, 0u) << "no cut broke the installation";
    std::printf("power cut without syncs: %s, names-kept: %s\n", PointName(points, point).c_str(),
                verdict.wrong.c_str());
}

}  // namespace
}  // namespace reliability
