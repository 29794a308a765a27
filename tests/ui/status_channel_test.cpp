// The status channel: how each status word is decoded, what reaches the
// progress dialog and in which order, and that a word never reaches a bridge
// that is gone.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ui/status_channel.h"
#include "ui/update_dialog.h"
#include "vocabulary/error_codes.h"
#include "vocabulary/status_word.h"

namespace {

const QString kUpdating = QStringLiteral("text Updating...");
const QString kDownloaded = QStringLiteral("text New version downloaded successfully!");
const QString kClose = QStringLiteral("close");
const QString kDisable = QStringLiteral("disable");
QString Progress(int percent) {
    return QStringLiteral("progress %1").arg(percent);
}

// Records the bridge's signals on the GUI thread, in the order they arrive.
class SignalLog : public QObject {
  public:
    explicit SignalLog(CBegingUpdater& bridge) {
        connect(&bridge, &CBegingUpdater::downloadProgress, this,
                [this](int v) { entries << Progress(v); });
        connect(&bridge, &CBegingUpdater::setText, this,
                [this](const QString& s) { entries << QStringLiteral("text ") + s; });
        connect(&bridge, &CBegingUpdater::closedlg, this, [this] { entries << kClose; });
        connect(&bridge, &CBegingUpdater::disableButton, this, [this] { entries << kDisable; });
    }

    // Lets the GUI thread deliver what the worker queued, until `last` has
    // arrived (or five seconds have passed).
    void WaitFor(const QString& last) {
        const QDeadlineTimer deadline(5000);
        while (!entries.contains(last) && !deadline.hasExpired()) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }

    QStringList entries;
};

// Sends `words` from a thread of their own, as the worker does.
void SendFromWorker(const std::vector<StatusWord>& words) {
    std::thread worker([&words] {
        for (const StatusWord word : words)
            ReportStatusToWindow(word);
    });
    worker.join();
}

class StatusChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        UpdaterInstance.Set(&bridge);
        UpdateResult = kUntouched;
    }
    void TearDown() override { UpdaterInstance.Take(); }

    static constexpr std::int32_t kUntouched = 99;
    CBegingUpdater bridge;
    SignalLog log{bridge};
};

TEST_F(StatusChannel, EachWordIsDecodedErrorFirstThenPercentageThenStage) {
    struct Case {
        StatusWord word;
        QStringList emitted;
        std::int32_t result;
    };
    const Case cases[] = {
        {StageWord(kStageSocketsStarted), {kUpdating}, kUntouched},
        {StageWord(kStageVersionRead), {kUpdating}, kUntouched},
        {StageWord(kStagePatchListFetched), {kDownloaded}, kUntouched},
        {StageWord(kStageDownloadStarting), {kUpdating}, kUntouched},
        {StageWord(kStageApplyStarting), {kUpdating}, kUntouched},
        {StageWord(kStagePackageOpening), {kUpdating}, kUntouched},
        {StageWord(kStagePackageRead), {kDisable, kUpdating}, kUntouched},
        {StageWord(kStagePayloadReady), {}, kUntouched},
        {StageWord(kStageAddingFile), {kUpdating}, kUntouched},
        {StageWord(kStageModifyingFile), {kUpdating}, kUntouched},
        {StageWord(kStageAllApplied), {kClose}, 0},
        {StageWord(11), {}, kUntouched},
        {StageWord(255), {}, kUntouched},
        {0x01000000u, {}, kUntouched},  // only the always-zero byte set
        {0x01000005u, {}, kUntouched},
        {0x3200u, {Progress(50)}, kUntouched},
        {PercentageWord(2) | StageWord(kStagePackageRead), {Progress(2)}, kUntouched},
        {ErrorWord(kNothingNewer), {kClose}, kNothingNewer},
        {ErrorWord(kCancelled) | PercentageWord(5), {kClose}, kCancelled},
        {ErrorWord(kUrlUnusableOrWaitFailed) | StageWord(kStageAllApplied),
         {kClose},
         kUrlUnusableOrWaitFailed},
        // A percentage too large for its byte spills into the error field.
        {PercentageWord(256), {kClose}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString::number(c.word, 16).toStdString());
        log.entries.clear();
        UpdateResult = kUntouched;
        ReportStatusToWindow(c.word);
        EXPECT_EQ(log.entries, c.emitted);
        EXPECT_EQ(UpdateResult, c.result);
    }
}

TEST_F(StatusChannel, StageTenResetsAnEarlierError) {
    ReportStatusToWindow(ErrorWord(kApplyFailed));
    EXPECT_EQ(UpdateResult, kApplyFailed);
    ReportStatusToWindow(StageWord(kStageAllApplied));
    EXPECT_EQ(UpdateResult, 0);
}

TEST_F(StatusChannel, WordsFromTheWorkerArriveInTheOrderTheyWereSent) {
    UpdateDialog& dialog = *bridge.dialog();
    dialog.show();
    const std::vector<StatusWord> run = {
        StageWord(kStageSocketsStarted),
        StageWord(kStageVersionRead),
        StageWord(kStagePatchListFetched),
        StageWord(kStageDownloadStarting),
        PercentageWord(2),
        PercentageWord(50),
        PercentageWord(100),
        StageWord(kStageApplyStarting),
        StageWord(kStagePackageOpening),
        StageWord(kStagePackageRead),
        StageWord(kStagePayloadReady),
        StageWord(kStageAddingFile),
        StageWord(kStageModifyingFile),
        StageWord(kStageAllApplied),
    };
    SendFromWorker(run);
    log.WaitFor(kClose);

    const QStringList expected = {
        kUpdating, kUpdating, kDownloaded, kUpdating, Progress(2), Progress(50), Progress(100),
        kUpdating, kUpdating, kDisable,    kUpdating, kUpdating,   kUpdating,    kClose,
    };
    EXPECT_EQ(log.entries, expected);
    EXPECT_EQ(UpdateResult, 0);
    EXPECT_EQ(ProgressBarInstance->filledWidth, 430);
    EXPECT_FALSE(dialog.cancelButton()->isEnabled());
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(StatusChannel, StageSixDisablesCancelBeforeItsTextArrives) {
    UpdateDialog& dialog = *bridge.dialog();
    bool enabledWhenTextArrived = true;
    QObject::connect(&bridge, &CBegingUpdater::setText, &log,
                     [&] { enabledWhenTextArrived = dialog.cancelButton()->isEnabled(); });
    SendFromWorker({StageWord(kStagePackageRead)});
    log.WaitFor(kUpdating);
    EXPECT_EQ(log.entries, (QStringList{kDisable, kUpdating}));
    EXPECT_FALSE(enabledWhenTextArrived);
}

TEST_F(StatusChannel, WordsWithoutABridgeAreDropped) {
    EXPECT_EQ(UpdaterInstance.Take(), &bridge);
    EXPECT_EQ(UpdaterInstance.Take(), nullptr);
    SendFromWorker({StageWord(kStageSocketsStarted), PercentageWord(40),
                    ErrorWord(kTimeBudgetSpent), StageWord(kStageAllApplied)});
    QApplication::processEvents();
    EXPECT_TRUE(log.entries.isEmpty());
    EXPECT_EQ(UpdateResult, kUntouched);
}

TEST_F(StatusChannel, ADeletedBridgeIsNeverReached) {
    auto* other = new CBegingUpdater;
    UpdaterInstance.Set(other);
    delete other;  // without taking it back first
    SendFromWorker({StageWord(kStageSocketsStarted), ErrorWord(kTimeBudgetSpent)});
    EXPECT_EQ(UpdateResult, kUntouched);
    EXPECT_EQ(UpdaterInstance.Take(), nullptr);
}

// The program flow takes the bridge back and deletes it while the worker may
// still be reporting: Take() must wait for a delivery in progress, or the
// worker would go on emitting on a deleted bridge.
TEST_F(StatusChannel, TakingTheBridgeWaitsForADeliveryInProgress) {
    std::atomic<bool> delivering{false};
    std::atomic<bool> takeStarted{false};
    std::atomic<bool> delivered{false};
    // Runs on the worker thread, inside the emission.
    QObject::connect(
        &bridge, &CBegingUpdater::downloadProgress, &log,
        [&] {
            delivering = true;
            while (!takeStarted)
                std::this_thread::yield();
            // Long enough for a Take() that did not wait to have returned.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            delivered = true;
        },
        Qt::DirectConnection);
    std::thread worker([] { ReportStatusToWindow(PercentageWord(10)); });
    while (!delivering)
        std::this_thread::yield();
    takeStarted = true;
    EXPECT_EQ(UpdaterInstance.Take(), &bridge);
    EXPECT_TRUE(delivered);
    worker.join();
}

}  // namespace
