#include "whole_run.h"

#include <algorithm>

#include "engine/patch_list.h"
#include "engine/update_worker.h"
#include "support/status_recorder.h"
#include "vocabulary/cancel_request.h"

namespace reliability {
namespace {

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
    testing_support::StatusRecorder recorder;
    UpdateSettings inRoot = settings;
    inRoot.installRoot = root.string();
    UpdateWorker(recorder.callback(), inRoot);
    return RunRecord{recorder.words()};
}

}  // namespace reliability
