// update-console: one whole update run in the current folder, without
// windows. Each status word becomes one readable line on standard output,
// followed by where the run's connections went (address and proxy), the
// records taken and whether the patch list's signature was checked, and by
// which key; the exit status is the run's code (0 success, 2
// nothing newer, 16 cancelled, any other failure). Ctrl+C cancels a download
// the way the Cancel button does.
// Used by scripted installs, the tests and the benchmarks.
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "build_config.h"
#include "engine/patch_list.h"
#include "engine/update_worker.h"
#include "platform/platform.h"
#include "trust/ed25519.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"
#include "vocabulary/status_word.h"

namespace {

// The receiver of the run's status words: prints each and keeps the code the
// run ends with. Written on the worker thread, read by main after the join.
class StatusPrinter {
  public:
    void operator()(StatusWord word) {
        const DecodedStatus status = DecodeStatusWord(word);
        switch (status.kind) {
            case DecodedStatus::Kind::kError:
                result_ = status.value;
                std::printf("error %d: %s\n", status.value, ErrorMeaning(status.value));
                break;
            case DecodedStatus::Kind::kPercentage:
                std::printf("progress %d%%\n", status.value);
                break;
            case DecodedStatus::Kind::kStage:
                if (status.value == kStageAllApplied)
                    result_ = kOk;
                std::printf("stage %d: %s\n", status.value, StageMeaning(status.value));
                break;
            case DecodedStatus::Kind::kIgnored:
                break;
        }
        std::fflush(stdout);
    }

    int result() const { return result_; }

  private:
    int result_ = kOk;
};

void CancelOnSignal(int) {
    RequestCancel();
}

void PrintSelection(const PatchSelection& selection) {
    for (const SelectedPatch& patch : selection.selectedPatches) {
        std::printf("selected %s %s\n", FormatVersion(patch.version).c_str(), patch.url.c_str());
    }
    std::printf("stop record taken: %s\n", selection.rerunRequired ? "yes" : "no");
}

// Where the run's connections went, so a failure to reach the server can be
// told apart from a proxy in the way. A proxy is shown without its
// credentials.
void PrintRoutes(const UpdateReport& report) {
    for (const ConnectionRoute& route : report.routes) {
        const std::string address = route.address.empty() ? "no connection" : route.address;
        if (route.proxy.empty()) {
            std::printf("connection: %s at %s, no proxy\n", route.target.c_str(), address.c_str());
        } else {
            std::printf("connection: %s through proxy %s at %s\n", route.target.c_str(),
                        route.proxy.c_str(), address.c_str());
        }
    }
}

void PrintListTrust(const UpdateReport& report) {
    if (!report.signatureRequired) {
        std::printf("patch list: not signature-checked, no trusted keys built in\n");
    } else if (report.listSigner) {
        std::printf("patch list: verified, signed by %s\n",
                    PublicKeyText(*report.listSigner).c_str());
    } else {
        std::printf("patch list: not verified\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // In UTF-8 on every system: the program's own path is printed in the
    // usage line, and may well lie in a folder whose name the ANSI code page
    // cannot spell.
    const std::vector<std::string> arguments = platform::CommandLineArguments(argc, argv);
    platform::UseUtf8Console();
    if (arguments.size() == 2 && arguments[1] == "--version") {
        std::printf("update-console %s\n", kProjectVersion);
        return 0;
    }
    if (arguments.size() > 1) {
        std::fprintf(stderr,
                     "usage: %s [--version]\nRuns one update of the installation in the current "
                     "folder.\n",
                     arguments.front().c_str());
        return 64;
    }
    std::signal(SIGINT, CancelOnSignal);
    StatusPrinter printer;
    UpdateReport report;
    // The installation is the current folder.
    std::thread worker(
        [&report, &printer] { report = UpdateWorker(StatusCallbackTo(printer), "./"); });
    worker.join();
    PrintRoutes(report);
    PrintSelection(report.selection);
    PrintListTrust(report);
    return printer.result();
}
