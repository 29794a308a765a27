#include "shell/windowed_run.h"

#include <QApplication>
#include <thread>

#include "ui/status_channel.h"
#include "ui/update_dialog.h"
#include "vocabulary/cancel_request.h"

std::int32_t RunWithProgressWindow(const UpdateProcedure& procedure) {
    UpdateResult = kNoFinalWord;
    auto* bridge = new CBegingUpdater;
    UpdaterInstance.Set(bridge);
    bridge->dialog()->show();
    std::thread worker(procedure, WindowStatusCallback());
    // Ends when the progress window closes on the run's final word, or early
    // when something else ends the loop.
    QApplication::exec();
    if (UpdateResult == kNoFinalWord)
        RequestCancel();
    // The bridge is still held, so a final word sent from here on still
    // records the result; the window it would close is deleted below with
    // every event still queued for it.
    worker.join();
    delete UpdaterInstance.Take();
    return UpdateResult;
}
