// The status words an exchange reports, as the transfer tests collect them.
#pragma once

#include <vector>

#include "vocabulary/cancel_request.h"
#include "vocabulary/status_word.h"

namespace transfer_test {

inline std::vector<StatusWord>& Reported() {
    static std::vector<StatusWord> words;
    return words;
}

// A status callback that keeps every word.
inline void Record(StatusWord word) {
    Reported().push_back(word);
}

// Keeps the word, then asks the run to stop, as a click on Cancel would.
inline void CancelOnReport(StatusWord word) {
    Record(word);
    RequestCancel();
}

}  // namespace transfer_test
