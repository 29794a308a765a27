// update: the updater people run, in the installation folder of the main
// application. It shows the progress window while the worker thread updates
// the installation, then a notice with the outcome, clears the user's
// update-needed flag after a success and starts the main application,
// whatever the outcome. It takes no options and always returns 0.
#include <QApplication>

#include "engine/patch_list.h"
#include "engine/update_worker.h"
#include "platform/platform.h"
#include "shell/outcome_notice.h"
#include "shell/update_flag.h"
#include "shell/windowed_run.h"
#include "ui/resources.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    RegisterResources();
    // Installed before any window exists, so the forms see it; kept to the end.
    const auto translator = InstallTranslation(TranslationPath(QStringLiteral("update_zh_CN.qm")));

    PatchSelection selection;
    const Outcome outcome = OutcomeOf(RunWithProgressWindow([&selection](StatusCallback report) {
        // The installation is the folder the updater was started in.
        selection = UpdateWorker(report, "./").selection;
    }));

    // A stop record leaves the flag set, so the main application starts the
    // updater again for the records after it.
    if (outcome == Outcome::kSuccess && !selection.rerunRequired)
        ClearUpdateNeededFlag();
    ShowOutcomeNotice(outcome);
    platform::StartProgramDetached("Quillmere.exe");
    return 0;
}
