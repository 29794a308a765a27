#include "ui/status_channel.h"

#include "ui/update_dialog.h"

BridgeHolder UpdaterInstance;
std::atomic<std::int32_t> UpdateResult{kNoFinalWord};

CBegingUpdater::CBegingUpdater() : dialog_(new UpdateDialog) {
    connect(this, &CBegingUpdater::downloadProgress, dialog_, &UpdateDialog::onDownloadProcess);
    connect(this, &CBegingUpdater::setText, dialog_, &UpdateDialog::onSetText);
    connect(this, &CBegingUpdater::closedlg, dialog_, &UpdateDialog::onClose);
    connect(this, &CBegingUpdater::disableButton, dialog_, &UpdateDialog::onDisableBtn);
}

CBegingUpdater::~CBegingUpdater() {
    // A bridge deleted while still held must not be reached by a late word.
    UpdaterInstance.Release(this);
    delete dialog_;
    dialog_ = nullptr;
}

void BridgeHolder::Set(CBegingUpdater* bridge) {
    std::lock_guard lock(mutex_);
    bridge_ = bridge;
}

CBegingUpdater* BridgeHolder::Take() {
    std::lock_guard lock(mutex_);
    CBegingUpdater* bridge = bridge_;
    bridge_ = nullptr;
    return bridge;
}

void BridgeHolder::Release(const CBegingUpdater* bridge) {
    std::lock_guard lock(mutex_);
    if (bridge_ == bridge)
        bridge_ = nullptr;
}

namespace {

void ActOnStage(CBegingUpdater& bridge, int stage) {
    switch (stage) {
        case kStagePatchListFetched:
            emit bridge.setText(CBegingUpdater::tr("New version downloaded successfully!"));
            break;
        case kStagePackageRead:
            // Applying is about to begin: Cancel must be dead before anything
            // else of this stage reaches the window.
            emit bridge.disableButton();
            emit bridge.setText(CBegingUpdater::tr("Updating..."));
            break;
        case kStagePayloadReady:
            break;
        case kStageAllApplied:
            UpdateResult = 0;
            emit bridge.closedlg();
            break;
        default:
            emit bridge.setText(CBegingUpdater::tr("Updating..."));
            break;
    }
}

}  // namespace

void ReportStatusToWindow(StatusWord word) {
    const DecodedStatus status = DecodeStatusWord(word);
    UpdaterInstance.WithBridge([&status](CBegingUpdater& bridge) {
        switch (status.kind) {
            case DecodedStatus::Kind::kError:
                // Written before closedlg() is queued, so the GUI thread sees
                // it once the event loop has ended.
                UpdateResult = status.value;
                emit bridge.closedlg();
                break;
            case DecodedStatus::Kind::kPercentage:
                emit bridge.downloadProgress(status.value);
                break;
            case DecodedStatus::Kind::kStage:
                ActOnStage(bridge, status.value);
                break;
            case DecodedStatus::Kind::kIgnored:
                break;
        }
    });
}

StatusCallback WindowStatusCallback() {
    return {[](void*, StatusWord word) { ReportStatusToWindow(word); }, nullptr};
}
