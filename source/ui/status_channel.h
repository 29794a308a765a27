// The status channel: the worker thread's only way to the windows.
//
// The worker calls the status callback, ReportStatusToWindow, with one status
// word at a time. The callback decodes the word on the worker thread, records
// the end of the run in `UpdateResult` and emits a signal of the bridge object
// `CBegingUpdater`. The bridge lives on the GUI thread, so every signal reaches
// the progress dialog's slots there as a queued call, in emission order.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "vocabulary/status_word.h"

class UpdateDialog;

// Creates and owns the progress dialog and connects its four signals to the
// dialog's slots. Lives on the GUI thread; its signals may be emitted from
// any thread.
class CBegingUpdater : public QObject {
    Q_OBJECT

  public:
    // Creates the dialog hidden; the program flow shows it.
    CBegingUpdater();
    // Stops the status channel from reaching this bridge, then deletes the
    // dialog.
    ~CBegingUpdater() override;

    UpdateDialog* dialog() const { return dialog_; }

  signals:
    void downloadProgress(int v);
    void setText(QString s);
    void closedlg();
    void disableButton();

  private:
    UpdateDialog* dialog_ = nullptr;
};

// Holds the one bridge the status callback emits on. The program flow sets it
// before the worker thread starts and takes it back after the event loop. The
// worker emits and the GUI thread clears under one lock, so no status word
// ever reaches a bridge that is gone: once Take() has returned, every later
// word is dropped.
class BridgeHolder {
  public:
    void Set(CBegingUpdater* bridge);
    // Clears the holder and returns the bridge it held, or null. A delivery in
    // progress on the worker thread finishes first.
    CBegingUpdater* Take();
    // Clears the holder if it still holds `bridge`.
    void Release(const CBegingUpdater* bridge);

    // Runs `action` on the held bridge with the lock held; does nothing when
    // the holder is empty. `action` must not come back into the holder.
    template <typename Action>
    void WithBridge(Action&& action) {
        std::lock_guard lock(mutex_);
        if (bridge_ != nullptr)
            action(*bridge_);
    }

  private:
    std::mutex mutex_;
    CBegingUpdater* bridge_ = nullptr;
};

extern BridgeHolder UpdaterInstance;

// The outcome of the run: kNoFinalWord until the run's final word arrives,
// then the error code of an error word, or 0 on kStageAllApplied. Written by the
// status callback before it emits closedlg(), read by the program flow after
// the event loop. A run that has not ended must never look like a success.
inline constexpr std::int32_t kNoFinalWord = -1;
extern std::atomic<std::int32_t> UpdateResult;

// What the status callback handed to the worker thread (WindowStatusCallback) does. Decodes
// `word` with the precedence error > percentage > stage:
//   error code c            UpdateResult = c, closedlg()
//   percentage p            downloadProgress(p)
//   kStagePatchListFetched  setText("New version downloaded successfully!")
//   kStagePackageRead       disableButton(), then setText("Updating...")
//   kStagePayloadReady      nothing
//   kStageAllApplied        UpdateResult = 0, closedlg()
//   other stages            setText("Updating...")
//   above kStageAllApplied  nothing
// The texts are translated in the context "CBegingUpdater". A word that
// arrives while no bridge is held is dropped whole, UpdateResult included.
// Called on the worker thread; never fails.
void ReportStatusToWindow(StatusWord word);

// The status callback for the worker thread: ReportStatusToWindow, which
// reaches the windows through UpdaterInstance, the process's one bridge
// holder, and so needs no context of its own.
StatusCallback WindowStatusCallback();
