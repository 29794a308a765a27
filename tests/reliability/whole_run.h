// One whole update run in-process, as the worker thread does it, with every
// status word recorded.
#pragma once

#include <filesystem>
#include <vector>

#include "engine/update_worker.h"
#include "vocabulary/status_word.h"

namespace reliability {

struct RunRecord {
    std::vector<StatusWord> words;

    // The last word is kStageAllApplied and no error came before it.
    bool Succeeded() const;
    // The code of the error word that ended the run, 0 when none did.
    int ErrorCode() const;
    // Exactly one word ends the run (an error or kStageAllApplied), and it is the
    // last one.
    bool EndedOnce() const;
};

// Runs UpdateWorker on the installation at `root` (whatever root `settings`
// names), after clearing a
// cancel request a previous run left behind. The fault hook is left as the
// caller armed it.
RunRecord RunWholeUpdate(const std::filesystem::path& root,
                         const UpdateSettings& settings = UpdateSettings{});

}  // namespace reliability
