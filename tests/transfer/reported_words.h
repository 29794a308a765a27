// The status words an exchange reports, kept by the test that runs it: a
// fixture of the transfer tests derives from ReportedWords and hands the
// exchange one of its callbacks.
#pragma once

#include <vector>

#include "support/status_recorder.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/status_word.h"

namespace transfer_test {

class ReportedWords {
  public:
    ReportedWords() = default;
    ReportedWords(const ReportedWords&) = delete;
    ReportedWords& operator=(const ReportedWords&) = delete;

  protected:
    // Keeps every word.
    StatusCallback Record() { return recorder_.callback(); }
    // Keeps the word, then asks the run to stop, as a click on Cancel would.
    StatusCallback CancelOnReport() { return StatusCallbackTo(cancelling_); }

    const std::vector<StatusWord>& Reported() const { return recorder_.words(); }
    void ClearReported() { recorder_.Clear(); }

  private:
    struct Cancelling {
        testing_support::StatusRecorder* recorder;
        void operator()(StatusWord word) {
            (*recorder)(word);
            RequestCancel();
        }
    };

    testing_support::StatusRecorder recorder_;
    Cancelling cancelling_{&recorder_};
};

}  // namespace transfer_test
