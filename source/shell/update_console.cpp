// update-console: one whole update run in the current folder, without
// windows. Each status word becomes one readable line on standard output; the
// exit status is the run's code (0 success, 2 nothing newer, 16 cancelled, any
// other failure). Ctrl+C cancels a download the way the Cancel button does.
// Used by scripted installs, the tests and the benchmarks.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

#include "engine/error_codes.h"
#include "engine/patch_list.h"
#include "engine/status_word.h"
#include "engine/update_worker.h"
#include "transfer/http_get.h"

namespace {

const char* StageMeaning(int stage) {
    static const char* const kMeanings[] = {
        "starting",
        "installed version read",
        "patch list fetched, newer patches found",
        "downloading a package",
        "all packages downloaded, applying",
        "opening a package",
        "package read, header accepted",
        "package payload unpacked",
        "adding a file",
        "modifying a file",
        "all packages applied",
    };
    return kMeanings[stage];
}

// Written on the worker thread, read by main after the join.
std::atomic<int> runResult{kOk};

void PrintStatus(StatusWord word) {
    const DecodedStatus status = DecodeStatusWord(word);
    switch (status.kind) {
        case DecodedStatus::Kind::kError:
            runResult = status.value;
            std::printf("error %d: %s\n", status.value, ErrorMeaning(status.value));
            break;
        case DecodedStatus::Kind::kPercentage:
            std::printf("progress %d%%\n", status.value);
            break;
        case DecodedStatus::Kind::kStage:
            if (status.value == kStageAllApplied)
                runResult = kOk;
            std::printf("stage %d: %s\n", status.value, StageMeaning(status.value));
            break;
        case DecodedStatus::Kind::kIgnored:
            break;
    }
    std::fflush(stdout);
}

void RequestCancel(int) {
    CancelRequested = true;
}

void PrintSelection() {
    for (const PatchEntry& entry : SelectedPatches) {
        std::printf("selected %s %s\n", FormatVersion(entry.version).c_str(), entry.url.c_str());
    }
    std::printf("stop record taken: %s\n", RerunRequired ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::fprintf(stderr,
                     "usage: %s\nRuns one update of the installation in the current folder.\n",
                     argv[0]);
        return 64;
    }
    static_assert(std::atomic<bool>::is_always_lock_free, "cancel flag must be signal-safe");
    std::signal(SIGINT, RequestCancel);
    std::thread worker(UpdateWorker, PrintStatus);
    worker.join();
    PrintSelection();
    return runResult;
}
