// The status word: the worker's only way to tell the window anything.
//
// A sender sets exactly one field of an unsigned 32-bit word:
//   bits 0-7    a stage number 0..10
//   bits 8-15   a download percentage (percentage << 8)
//   bits 16-23  an error code that ends the run (code << 16)
//   bits 24-31  always zero
// The receiver decodes the error field first, then the percentage, then the
// stage. Packing and decoding live here alone; the worker, the transfer, the
// patch application and the window's status channel all use these.
#pragma once

#include <cstdint>

using StatusWord = std::uint32_t;

// Where status words go: a function and the context it reaches its owner
// through (the window channel, the console's run, a test's record). Called
// synchronously on the worker thread. Two plain pointers rather than a
// std::function: handing one on never allocates or throws, so a run out of
// memory can still send its last word. Without a function, words are dropped.
struct StatusCallback {
    void (*function)(void* context, StatusWord word) = nullptr;
    void* context = nullptr;

    void operator()(StatusWord word) const {
        if (function != nullptr)
            function(context, word);
    }
};

// A callback that hands each word to `receiver(word)`; `receiver` must
// outlive every call.
template <typename Receiver>
StatusCallback StatusCallbackTo(Receiver& receiver) {
    return {[](void* context, StatusWord word) { (*static_cast<Receiver*>(context))(word); },
            &receiver};
}

constexpr StatusWord StageWord(int stage) {
    return static_cast<StatusWord>(stage);
}
constexpr StatusWord PercentageWord(std::uint32_t percentage) {
    return percentage << 8;
}
constexpr StatusWord ErrorWord(int code) {
    return static_cast<StatusWord>(code) << 16;
}

// The stages a run passes through, in order. Their meanings, as the console
// prints them, are in StageMeaning.
enum Stage : int {
    kStageSocketsStarted = 0,    // starting
    kStageVersionRead = 1,       // installed version read
    kStagePatchListFetched = 2,  // patch list fetched, newer patches found
    kStageDownloadStarting = 3,  // downloading a package
    kStageApplyStarting = 4,     // all packages downloaded, applying
    kStagePackageOpening = 5,    // opening a package
    kStagePackageRead = 6,       // package read, header accepted
    kStagePayloadReady = 7,      // package payload unpacked once and checked whole
    kStageAddingFile = 8,        // adding a file
    kStageModifyingFile = 9,     // modifying a file
    kStageAllApplied = 10,       // all packages applied
};

// A short English description of `stage`; "unknown stage" outside 0..10.
const char* StageMeaning(int stage);

struct DecodedStatus {
    enum class Kind { kError, kPercentage, kStage, kIgnored };
    Kind kind;
    // The error code, the percentage or the stage; 0 for kIgnored.
    std::int32_t value;
};

// Decodes with the precedence error > percentage > stage. A word whose value
// is above 10 with neither higher field set (bits 24-31 included) is ignored.
constexpr DecodedStatus DecodeStatusWord(StatusWord word) {
    if ((word & 0x00FF0000u) != 0) {
        return {DecodedStatus::Kind::kError, static_cast<std::int32_t>(word >> 16)};
    }
    if ((word & 0x0000FF00u) != 0) {
        return {DecodedStatus::Kind::kPercentage, static_cast<std::int32_t>(word >> 8)};
    }
    if (word > static_cast<StatusWord>(kStageAllApplied))
        return {DecodedStatus::Kind::kIgnored, 0};
    return {DecodedStatus::Kind::kStage, static_cast<std::int32_t>(word)};
}
