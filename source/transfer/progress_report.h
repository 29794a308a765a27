// Download percentages as the window receives them: thinned to rises of at
// least two points, so a download sends at most about fifty status words.
// Worker thread only.
#pragma once

#include <cstdint>

#include "vocabulary/status_word.h"

// received / announced * 100 in double precision, truncated, and clamped to
// 100 so that a body longer than announced never spills into the error field
// of the status word. 0 when the length is unknown (negative) or 0.
std::uint32_t DownloadPercentage(std::int64_t received, std::int64_t announcedLength);

class ProgressReporter {
  public:
    // `callback` may be empty: then nothing is reported.
    ProgressReporter(std::int64_t announcedLength, StatusCallback callback)
        : announcedLength_(announcedLength), callback_(callback) {}

    // Reports the percentage for `received` body bytes when it lies at least
    // two points above the last one reported (the first report needs 2).
    void Update(std::int64_t received);

  private:
    std::int64_t announcedLength_;
    StatusCallback callback_;
    std::uint32_t lastPercentage_ = 0;
};
