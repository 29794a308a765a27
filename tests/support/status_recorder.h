// Keeps the status words a run sends, reached through the status callback's
// context: each test owns its own record, and nothing outlives the test.
#pragma once

#include <algorithm>
#include <iterator>
#include <vector>

#include "vocabulary/status_word.h"

namespace testing_support {

class StatusRecorder {
  public:
    // A callback that keeps every word here; valid while this recorder lives.
    StatusCallback callback() { return StatusCallbackTo(*this); }

    void operator()(StatusWord word) { words_.push_back(word); }

    const std::vector<StatusWord>& words() const { return words_; }
    // The words with the percentages left out.
    std::vector<StatusWord> Stages() const {
        std::vector<StatusWord> stages;
        std::copy_if(words_.begin(), words_.end(), std::back_inserter(stages), [](StatusWord w) {
            return DecodeStatusWord(w).kind != DecodedStatus::Kind::kPercentage;
        });
        return stages;
    }
    // The last word, or 0xFFFFFFFF (no word means that) when none came.
    StatusWord LastWord() const { return words_.empty() ? 0xFFFFFFFFu : words_.back(); }
    void Clear() { words_.clear(); }

  private:
    std::vector<StatusWord> words_;
};

}  // namespace testing_support
