#include "vocabulary/status_word.h"

#include <iterator>

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
    static_assert(std::size(kMeanings) == kStageAllApplied + 1, "one meaning per stage");
    if (stage < kStageSocketsStarted || stage > kStageAllApplied)
        return "unknown stage";
    return kMeanings[stage];
}
