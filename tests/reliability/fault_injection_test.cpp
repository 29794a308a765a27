// Fault injection through the platform layer. A clean whole update run is
// counted first: how many times it opens, writes, seeks, changes a length,
// closes, makes a folder, sends, receives, moves a file into place and syncs
// a file or a folder. Writes and syncs fail as on a full disk. Then for every kind and
// every call index N of that count, a fresh installation is updated with the Nth call of that kind
// failing. Every such run must end with a failure code, or succeed with the installation equal to
// the new version byte for byte; it must never change anything outside the root nor leave a
// staged file behind; and a clean run afterwards must always bring the installation to the new
// version.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "patch/apply_fixture.h"
#include "platform/test_hooks.h"
#include "published_update.h"
#ifndef _WIN32
#include "support/sync_ledger.h"
#endif
#include "vocabulary/error_codes.h"
#include "whole_run.h"

namespace reliability {
namespace {

using platform::FaultKind;

constexpr std::array<FaultKind, platform::kFaultKindCount> kKinds = {
    FaultKind::kOpen,     FaultKind::kWrite,         FaultKind::kSeek, FaultKind::kChangeSize,
    FaultKind::kClose,    FaultKind::kMakeDirectory, FaultKind::kSend, FaultKind::kReceive,
    FaultKind::kMoveFile, FaultKind::kSync};

const char* NameOf(FaultKind kind) {
    static const char* const kNames[] = {"open",  "write", "seek",    "change size", "close",
                                         "mkdir", "send",  "receive", "move file",   "sync"};
    return kNames[static_cast<int>(kind)];
}

// Whether a file written beside its target ("NAME.updating", or ".updating"
// for a long name) stands anywhere below `root`.
bool HoldsStagedFile(const std::filesystem::path& root) {
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (item.path().filename().string().ends_with(".updating"))
            return true;
    }
    return false;
}

class FaultInjection : public ::testing::Test {
  protected:
    // Small files: the sweep makes two runs for each of about a thousand
    // points, and the size of a file changes no call count but the body's
    // receives.
    static void SetUpTestSuite() { update_ = std::make_unique<PublishedUpdate>(100); }
    static void TearDownTestSuite() { update_.reset(); }
    void SetUp() override { ASSERT_TRUE(update_->ready()) << update_->error(); }
    void TearDown() override { platform::ResetFaults(); }

    // The calls of each kind a clean run makes, after checking that it
    // succeeds.
    std::array<std::uint64_t, platform::kFaultKindCount> CountCleanRun() {
        SandboxedRoot sandbox(update_->oldVersion());
        platform::ResetFaults();
        const RunRecord run = RunWholeUpdate(sandbox.root());
        std::array<std::uint64_t, platform::kFaultKindCount> counts{};
        for (const FaultKind kind : kKinds)
            counts[static_cast<int>(kind)] = platform::FaultCallCount(kind);
        EXPECT_TRUE(run.Succeeded());
        EXPECT_EQ(ReadTree(sandbox.root()), update_->newVersion());
        return counts;
    }

    // One faulted run and the clean run after it; true when both keep every
    // promise. Failures are reported with the kind and the call index.
    bool RunWithFault(FaultKind kind, std::uint64_t nth) {
        SCOPED_TRACE(std::string("the ") + NameOf(kind) + " call #" + std::to_string(nth) +
                     " fails");
        SandboxedRoot sandbox(update_->oldVersion());
        platform::ResetFaults();
        platform::InjectFaultAt(kind, nth);
        const RunRecord faulted = RunWholeUpdate(sandbox.root());
        platform::ResetFaults();
        bool kept = true;
        const auto check = [&kept](bool promise, const char* what) {
            EXPECT_TRUE(promise) << what;
            kept = kept && promise;
        };
        check(faulted.EndedOnce(), "the run ends with exactly one final word");
        if (faulted.Succeeded()) {
            check(ReadTree(sandbox.root()) == update_->newVersion(),
                  "a run that reports success leaves exactly the new version");
        } else {
            check(OutcomeOf(faulted.ErrorCode()) == Outcome::kFailed,
                  "a run that does not succeed reports a failure code");
        }
        check(sandbox.OutsideUnchanged(), "nothing outside the root changes");
        check(!HoldsStagedFile(sandbox.root()), "no staged file is left behind");

        const RunRecord rerun = RunWholeUpdate(sandbox.root());
        const bool converged = ReadTree(sandbox.root()) == update_->newVersion();
        check(converged, "a clean run afterwards brings the new version");
        // A run that failed only after its last change was in place leaves
        // the new version, which the clean run then finds up to date.
        check(rerun.Succeeded() || rerun.ErrorCode() == kNothingNewer,
              "the clean run afterwards succeeds or finds nothing newer");
        return kept;
    }

    static std::unique_ptr<PublishedUpdate> update_;
};

std::unique_ptr<PublishedUpdate> FaultInjection::update_;

TEST_F(FaultInjection, EveryFailingCallEndsInAFailureCodeOrTheExactNewVersion) {
    const auto counts = CountCleanRun();
    ASSERT_FALSE(HasFailure()) << "the clean run must succeed first";

    std::uint64_t tried = 0;
    std::uint64_t passed = 0;
    for (const FaultKind kind : kKinds) {
        const std::uint64_t calls = counts[static_cast<int>(kind)];
        std::uint64_t kindPassed = 0;
        for (std::uint64_t nth = 1; nth <= calls; ++nth)
            kindPassed += RunWithFault(kind, nth) ? 1 : 0;
        std::printf("fault injection: %-11s %5llu points, %5llu passed\n", NameOf(kind),
                    static_cast<unsigned long long>(calls),
                    static_cast<unsigned long long>(kindPassed));
        tried += calls;
        passed += kindPassed;
    }
    std::printf("fault injection: %llu points tried, %llu passed\n",
                static_cast<unsigned long long>(tried), static_cast<unsigned long long>(passed));
    // Every kind the platform hook knows is reached by a whole run.
    for (const FaultKind kind : kKinds)
        EXPECT_GT(counts[static_cast<int>(kind)], 0u) << NameOf(kind);
}

// The whole run, download included, keeps the order a power cut needs:
// each file synced before its move, each folder after, the version file last.
TEST_F(FaultInjection, WholeRunSyncsEachFileBeforeItsMoveAndEachFolderAfter) {
#ifdef _WIN32
    GTEST_SKIP() << "the sync ledger (disk_watch_support) is POSIX only";
#else
    SandboxedRoot sandbox(update_->oldVersion());
    testing_support::SyncLedger ledger(sandbox.root() / "config/version.cfg");
    platform::ObserveDisk(&ledger);
    const RunRecord run = RunWholeUpdate(sandbox.root());
    platform::ObserveDisk(nullptr);
    EXPECT_TRUE(run.Succeeded());
    EXPECT_EQ(ledger.Breaches(), std::vector<std::string>{});
    EXPECT_TRUE(ledger.versionFileMoved());
#endif
}

// A full disk is found before the first change: the run ends with its own
// code, the installation as it was, and a run once room exists completes it.
TEST_F(FaultInjection, VolumeWithoutRoomEndsTheRunBeforeAnyChange) {
    SandboxedRoot sandbox(update_->oldVersion());
    platform::InjectAvailableSpace(64 * 1024);
    const RunRecord refused = RunWholeUpdate(sandbox.root());
    platform::ResetFaults();
    EXPECT_EQ(refused.ErrorCode(), kNoRoomForPackage);
    EXPECT_EQ(ReadTree(sandbox.root()), update_->oldVersion());
    EXPECT_TRUE(RunWholeUpdate(sandbox.root()).Succeeded());
    EXPECT_EQ(ReadTree(sandbox.root()), update_->newVersion());
}

// What the sweep found: an add entry used to cut its target to nothing before
// writing the new content, so a failed write or close left the file empty.
// For the version file, the last entry of a package, that meant no installed
// version at all: every later run ended with "nothing newer" and the
// installation stayed half updated for good.
class InterruptedAddEntry : public testing_support::ApplyFixture {
  protected:
    static constexpr const char* kOld = "[Main]\r\nVersion=1.0.0\r\n";
    static constexpr const char* kNew = "; rewritten\r\n[Main]\r\nVersion=1.1.0\r\n";

    const std::filesystem::path target_ = root_ / "config/version.cfg";
};

TEST_F(InterruptedAddEntry, FailureLeavesTheTargetWholeAndNothingBeside) {
    struct Case {
        FaultKind kind;
        std::uint64_t nth;  // counted from the start of the apply
    };
    // The first close is the staged file's: a bzip2 package, which every
    // build reads the same way, stays open until after its last entry.
    for (const Case c : {Case{FaultKind::kWrite, 1}, Case{FaultKind::kClose, 1},
                         Case{FaultKind::kMoveFile, 1}, Case{FaultKind::kSync, 1}}) {
        SCOPED_TRACE(NameOf(c.kind));
        testing_support::WriteFileBytes(target_, kOld);
        Stage(Build({EntrySource::Add("config/version.cfg", kNew)}, PackageCodec::kBzip2));
        platform::ResetFaults();
        platform::InjectFaultAt(c.kind, c.nth);
        EXPECT_FALSE(Apply());
        EXPECT_EQ(testing_support::ReadFileBytes(target_), kOld);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_ / "config"),
                                std::filesystem::directory_iterator()),
                  1);
    }
}

TEST_F(InterruptedAddEntry, StagedFileLeftByAKilledRunIsTakenOver) {
    testing_support::WriteFileBytes(target_, kOld);
    testing_support::WriteFileBytes(root_ / "config/version.cfg.updating", "cut sh");
    EXPECT_TRUE(StageAndApply({EntrySource::Add("config/version.cfg", kNew)}));
    EXPECT_EQ(testing_support::ReadFileBytes(target_), kNew);
    EXPECT_FALSE(std::filesystem::exists(root_ / "config/version.cfg.updating"));
}

TEST_F(InterruptedAddEntry, ReplacedFileKeepsItsPermissions) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows files have no POSIX permission bits";
#else
    const std::filesystem::path program = root_ / "bin/run.sh";
    testing_support::WriteFileBytes(program, "old");
    chmod(program.c_str(), 0751);
    EXPECT_TRUE(StageAndApply({EntrySource::Add("bin/run.sh", "new")}));
    EXPECT_EQ(testing_support::ReadFileBytes(program), "new");
    struct stat info {};
    ASSERT_EQ(stat(program.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0751u);
#endif
}

}  // namespace
}  // namespace reliability
