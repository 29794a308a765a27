// Crash convergence: the console program updates an installation from
// packages built by patchtool and served by nginx, and is killed with SIGKILL
// at many points of the run — while the patch list or a package downloads,
// between packages, in the middle of applying one. Run again to completion,
// it must always leave the installation equal to the new version byte for
// byte: applying is idempotent (whole-file adds, seek-and-write records, the
// final size, delta entries that leave a file already new alone) and the
// version file comes last in each package, so a package cut short is simply
// applied again.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "published_update.h"

extern char** environ;

namespace reliability {
namespace {

using namespace std::chrono_literals;

// Where to kill a run: once it has printed `lines` status lines, after a
// further `delay`.
struct KillPoint {
    std::size_t lines = 0;
    std::chrono::microseconds delay{0};
};

// One run of update-console in `root`, its status lines read as they come.
// Lines that report a stage, a percentage or an error count; the summary the
// program prints at the end does not.
class ConsoleRun {
  public:
    explicit ConsoleRun(const std::filesystem::path& root) {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
        posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addchdir_np(&actions, root.c_str());
        char program[] = UPDATE_CONSOLE_PATH;
        char* const argv[] = {program, nullptr};
        if (posix_spawn(&pid_, program, &actions, nullptr, argv, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(pipeEnds[1]);
        output_ = pipeEnds[0];
    }
    ~ConsoleRun() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
        if (output_ >= 0)
            close(output_);
    }
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;

    bool started() const { return pid_ > 0; }

    // Reads until `count` status lines have come; false when the program
    // ended first.
    bool ReadStatusLines(std::size_t count) {
        while (statusLines_.size() < count) {
            char buffer[4096];
            const ssize_t got = read(output_, buffer, sizeof buffer);
            if (got <= 0)
                return false;
            for (ssize_t i = 0; i < got; ++i) {
                if (buffer[i] != '\n') {
                    line_ += buffer[i];
                    continue;
                }
                if (IsStatusLine(line_))
                    statusLines_.push_back(line_);
                line_.clear();
            }
        }
        return true;
    }

    void Kill() { kill(pid_, SIGKILL); }

    // Waits for the program to end: its exit status, or -1 when it was killed.
    int Wait() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Reads everything the program prints and waits for it to end.
    int Finish() {
        ReadStatusLines(SIZE_MAX);
        return Wait();
    }

    const std::vector<std::string>& statusLines() const { return statusLines_; }

  private:
    static bool IsStatusLine(const std::string& line) {
        return line.rfind("stage ", 0) == 0 || line.rfind("progress ", 0) == 0 ||
               line.rfind("error ", 0) == 0;
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::string line_;
    std::vector<std::string> statusLines_;
};

// Every status line of a whole run is a kill point. The lines of the apply
// phase come close together, so after each of them the run is also killed a
// little later, to land inside the work of applying an entry.
std::vector<KillPoint> KillPointsOf(const std::vector<std::string>& statusLines) {
    std::vector<KillPoint> points;
    bool applying = false;
    for (std::size_t line = 1; line <= statusLines.size(); ++line) {
        applying = applying || statusLines[line - 1].rfind("stage 4:", 0) == 0;
        points.push_back({line, 0us});
        if (applying) {
            points.push_back({line, 300us});
            points.push_back({line, 1500us});
        }
    }
    return points;
}

class CrashConvergence : public ::testing::Test {
  protected:
    // Files of half the full size: the large package (512 KiB of noise)
    // still takes a while to download and to apply, which spreads the kill
    // points over both phases. Its two entries of 3 MiB take several windows
    // each to stream, so kills also land in the middle of one.
    // The first package is a zstd one, so kills also land while its
    // program's delta entry is checked and applied.
    static void SetUpTestSuite() {
        update_ = std::make_unique<PublishedUpdate>(128, "", 3 << 19, "zstd");
    }
    static void TearDownTestSuite() { update_.reset(); }
    void SetUp() override { ASSERT_TRUE(update_->ready()) << update_->error(); }

    // The status lines of a whole run that nothing interrupts.
    std::vector<std::string> CleanRunLines() {
        SandboxedRoot sandbox(update_->oldVersion());
        ConsoleRun run(sandbox.root());
        EXPECT_TRUE(run.started());
        EXPECT_EQ(run.Finish(), 0);
        EXPECT_EQ(ReadTree(sandbox.root()), update_->newVersion());
        return run.statusLines();
    }

    // Killed while one of the large entries streamed: the add entry's staged
    // file stands beside its target, or the modified file is neither what it
    // was nor what it becomes.
    static bool InsideLargeEntry(const Tree& afterKill) {
        if (afterKill.count("data/stream.bin.updating") != 0)
            return true;
        const std::string& modified = afterKill.at("data/large.dat");
        return modified != update_->middleVersion().at("data/large.dat") &&
               modified != update_->newVersion().at("data/large.dat");
    }

    // Killed while a package downloaded: its bytes so far wait under the
    // partial name for the rerun to continue them.
    static bool InsideDownload(const std::filesystem::path& root) {
        std::error_code error;
        for (const auto& file : std::filesystem::directory_iterator(root / "download", error)) {
            if (file.path().extension() == ".partial")
                return true;
        }
        return false;
    }

    static std::unique_ptr<PublishedUpdate> update_;
};

std::unique_ptr<PublishedUpdate> CrashConvergence::update_;

TEST_F(CrashConvergence, EveryKilledRunRunAgainEndsAtTheNewVersion) {
    const std::vector<KillPoint> points = KillPointsOf(CleanRunLines());
    ASSERT_FALSE(HasFailure()) << "the run must succeed without a kill first";

    int killed = 0;
    int converged = 0;
    int midPackage = 0;   // killed with the installation at no version at all
    int midEntry = 0;     // of those, killed while a large entry streamed
    int midDownload = 0;  // killed with a package partly downloaded
    for (const KillPoint& point : points) {
        SCOPED_TRACE("killed after status line " + std::to_string(point.lines) + " and " +
                     std::to_string(point.delay.count()) + " microseconds");
        SandboxedRoot sandbox(update_->oldVersion());
        {
            ConsoleRun run(sandbox.root());
            ASSERT_TRUE(run.started());
            if (!run.ReadStatusLines(point.lines))
                continue;  // this run printed fewer lines and ended by itself
            std::this_thread::sleep_for(point.delay);
            run.Kill();
            if (run.Wait() != -1)
                continue;  // it ended before the kill arrived
        }
        ++killed;
        const Tree afterKill = ReadTree(sandbox.root());
        midPackage += afterKill != update_->oldVersion() && afterKill != update_->middleVersion() &&
                              afterKill != update_->newVersion()
                          ? 1
                          : 0;
        midEntry += InsideLargeEntry(afterKill) ? 1 : 0;
        midDownload += InsideDownload(sandbox.root()) ? 1 : 0;

        ConsoleRun rerun(sandbox.root());
        const int code = rerun.Finish();
        // Killed after its last change, the run left the new version in
        // place, and the rerun finds nothing newer.
        EXPECT_TRUE(code == 0 || code == 2) << "exit status " << code;
        const bool same = ReadTree(sandbox.root()) == update_->newVersion();
        EXPECT_TRUE(same) << "the installation is not the new version";
        EXPECT_TRUE(sandbox.OutsideUnchanged());
        converged += same ? 1 : 0;
    }
    std::printf(
        "crash convergence: %d kill points, %d converged (%d in the middle of a package, %d "
        "of them inside a large entry; %d in the middle of a download)\n",
        killed, converged, midPackage, midEntry, midDownload);
    EXPECT_GE(killed, 50);
    EXPECT_GT(midPackage, 0) << "no kill landed in the middle of applying a package";
    EXPECT_GT(midEntry, 0) << "no kill landed while a large entry streamed";
    EXPECT_GT(midDownload, 0) << "no kill landed while a package downloaded";
}

}  // namespace
}  // namespace reliability
