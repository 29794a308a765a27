// The worker-to-window path as the program runs it: the real progress
// dialog on the GUI thread, the update worker on a thread of its own against
// nginx, its status words crossing through the status channel as queued
// signals, and Cancel crossing back through RequestCancel. Run under the thread
// sanitizer (scripts/reliability), it shows that path free of data races.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <thread>

#include "engine/patch_list.h"
#include "engine/update_worker.h"
#include "published_update.h"
#include "shell/windowed_run.h"
#include "ui/progress_bar.h"
#include "ui/status_channel.h"
#include "ui/update_dialog.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"

namespace reliability {
namespace {

// One run with its windows: the bridge and its dialog made and shown, the
// worker started, the event loop run until the dialog closes, then the
// worker joined and the bridge taken back, as the program flow does.
class WindowedRun {
  public:
    explicit WindowedRun(const std::filesystem::path& root) {
        ClearCancelRequest();
        UpdateResult = -1;
        bridge_ = new CBegingUpdater;
        UpdaterInstance.Set(bridge_);
        bridge_->dialog()->show();
        worker_ =
            std::thread([root = root.string()] { UpdateWorker(WindowStatusCallback(), root); });
    }
    ~WindowedRun() {
        if (worker_.joinable())
            worker_.join();
        delete UpdaterInstance.Take();
    }
    WindowedRun(const WindowedRun&) = delete;
    WindowedRun& operator=(const WindowedRun&) = delete;

    UpdateDialog& dialog() { return *bridge_->dialog(); }

    // Runs the event loop until the dialog has closed, and joins the worker.
    // False when it was still open after a minute.
    bool RunUntilClosed() {
        const QDeadlineTimer deadline(60000);
        while (dialog().isVisible() && !deadline.hasExpired())
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        worker_.join();
        return !dialog().isVisible();
    }

    // Runs the event loop until the bar shows some progress.
    bool RunUntilProgress() {
        const QDeadlineTimer deadline(60000);
        while (ProgressBarInstance->filledWidth == 0 && dialog().isVisible() &&
               !deadline.hasExpired()) {
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return ProgressBarInstance->filledWidth > 0;
    }

  private:
    CBegingUpdater* bridge_ = nullptr;
    std::thread worker_;
};

TEST(WorkerToWindow, WholeRunReachesTheWindowAndEndsInSuccess) {
    const PublishedUpdate update(100);
    ASSERT_TRUE(update.ready()) << update.error();
    SandboxedRoot sandbox(update.oldVersion());
    {
        WindowedRun run(sandbox.root());
        ASSERT_TRUE(run.RunUntilClosed());
        // The last download reported 100 %, which the bar shows as 430 pixels.
        EXPECT_EQ(ProgressBarInstance->filledWidth, 430);
        EXPECT_FALSE(run.dialog().cancelButton()->isEnabled())
            << "Cancel dies once applying begins";
    }
    EXPECT_EQ(UpdateResult, 0);
    EXPECT_EQ(ReadTree(sandbox.root()), update.newVersion());
    EXPECT_TRUE(sandbox.OutsideUnchanged());
}

TEST(WorkerToWindow, CancelDuringADownloadEndsTheRunCancelled) {
    // Served slowly, so the large package is still coming when Cancel is
    // clicked.
    const PublishedUpdate update(1024, "1m");
    ASSERT_TRUE(update.ready()) << update.error();
    SandboxedRoot sandbox(update.oldVersion());
    {
        WindowedRun run(sandbox.root());
        ASSERT_TRUE(run.RunUntilProgress());
        run.dialog().cancelButton()->click();
        ASSERT_TRUE(run.RunUntilClosed());
    }
    EXPECT_EQ(UpdateResult, kCancelled);
    EXPECT_EQ(ReadTree(sandbox.root()), update.oldVersion());
}

// Stands in for the update worker: it starts, then waits for Cancel (at most
// a few seconds) and answers late, as a worker inside a download would.
void WorkerThatAwaitsCancel(StatusCallback report) {
    report(StageWord(kStageSocketsStarted));
    for (int waits = 0; waits < 500 && !CancelRequested(); ++waits)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    report(CancelRequested() ? ErrorWord(kCancelled) : StageWord(kStageAllApplied));
}

TEST(WorkerToWindow, AnEventLoopEndedBeforeTheFinalWordLeavesTheOutcomeToIt) {
    ClearCancelRequest();
    // Ended from outside the progress window, as the end of a session can.
    QTimer::singleShot(50, qApp, [] { QCoreApplication::exit(0); });
    EXPECT_EQ(RunWithProgressWindow(WorkerThatAwaitsCancel), kCancelled);
    ClearCancelRequest();
}

}  // namespace
}  // namespace reliability
