#include "whole_run.h"

#include <algorithm>

#include "engine/patch_list.h"
#include "engine/update_worker.h"
#include "support/temp_dir.h"
#include "vocabulary/cancel_request.h"

namespace reliability {
namespace {

// The worker reports through a plain function, so the record it fills is a
// global; runs happen one at a time.
std::vector<StatusWord> recorded;
void Record(StatusWord word) {
    recorded.push_back(word);
}

bool EndsRun(StatusWord word) {
    const DecodedStatus status = DecodeStatusWord(word);
    return status.kind == DecodedStatus::Kind::kError ||
           (status.kind == DecodedStatus::Kind::kStage && status.value == kStageAllApplied);
}

}  // namespace

bool RunRecord::Succeeded() const {
    return EndedOnce() && words.back() == StageWord(kStageAllApplied);
}

int RunRecord::ErrorCode() const {
    for (const StatusWord word : words) {
        const DecodedStatus status = DecodeStatusWord(word);
        if (status.kind == DecodedStatus::Kind::kError)
            return status.value;
    }
    return 0;
}

bool RunRecord::EndedOnce() const {
    return !words.empty() && std::count_if(words.begin(), words.end(), EndsRun) == 1 &&
           EndsRun(words.back());
}

RunRecord RunWholeUpdate(const std::filesystem::path& root, const UpdateSettings& settings) {
    ClearCancelRequest();
    recorded.clear();
    {
        const testing_support::ScopedWorkingDir inside(root);
        UpdateWorker(&Record, settings);
    }
    return RunRecord{recorded};
}

}  // namespace reliability
