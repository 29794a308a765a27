// update: the updater people run, in the installation folder of the main
// application. It shows the progress window while the worker thread updates
// the installation, then a notice with the outcome, clears the user's
// update-needed flag after a success and starts the main application,
// whatever the outcome. It takes no options and always returns 0.
#include <QApplication>
#include <thread>

#include "engine/patch_list.h"
#include "engine/update_worker.h"
#include "platform/platform.h"
#include "shell/outcome_notice.h"
#include "shell/update_flag.h"
#include "ui/resources.h"
#include "ui/status_channel.h"
#include "ui/update_dialog.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    RegisterResources();
    // Installed before any window exists, so the forms see it; kept to the end.
    const auto translator = InstallTranslation(TranslationPath(QStringLiteral("update_zh_CN.qm")));

    auto* bridge = new CBegingUpdater;
    UpdaterInstance.Set(bridge);
    bridge->dialog()->show();
    std::thread worker(UpdateWorker, ReportStatusToWindow);
    // Ends when the progress window closes on the run's last status word.
    QApplication::exec();
    // From here on a late status word is dropped instead of reaching the
    // deleted bridge.
    delete UpdaterInstance.Take();

    const Outcome outcome = OutcomeOf(UpdateResult);
    // A stop record leaves the flag set, so the main application starts the
    // updater again for the records after it.
    if (outcome == Outcome::kSuccess && !RerunRequired)
        ClearUpdateNeededFlag();
    ShowOutcomeNotice(outcome);

    // The worker sent its last word before the progress window closed and
    // has only its clean-up left. Wait for it, so that it never runs while
    // the objects of this function and of the whole process are destroyed.
    worker.join();
    platform::StartProgramDetached("Quillmere.exe");
    return 0;
}
