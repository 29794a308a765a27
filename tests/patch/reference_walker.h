// An independent reading of an unpacked payload, for the tests and the
// fuzzer only: the whole payload in one buffer, every entry checked whole
// before it is yielded, by code that shares nothing with the streaming
// reader (entry_stream.h) but the format's constants and the name rule.
//
// It is a model to disagree with: the tests and the package fuzzer read the
// same bytes with both and require the same entries, the same problem at the
// same offset, and the same end. A format change made in one reader and not
// the other shows up there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "patch/package_format.h"
#include "patch/payload_stream.h"

namespace reference {

// One entry; the views point into the payload the walker was given.
struct PackageEntry {
    EntryKind kind = EntryKind::kAdd;
    std::int32_t finalSize = 0;
    std::string_view name;
    ByteView data;
};

class EntryWalker {
  public:
    // `knowsFileEntries` false reads as an updater from before check and
    // remove entries did: their tags are unknown.
    EntryWalker(ByteView payload, bool deltaEntries, bool knowsFileEntries = true)
        : reader_(payload), deltaEntries_(deltaEntries), knowsFileEntries_(knowsFileEntries) {}

    // kEntry fills `*entry`; kEnd means the zero tag was reached; kMalformed
    // means the entry at offset() is broken (see problem()). After kEnd or
    // kMalformed every further call returns the same.
    WalkStep Next(PackageEntry* entry);

    EntryProblem problem() const { return problem_; }
    // Offset in the payload of the entry that comes next (or that failed).
    std::size_t offset() const { return entryOffset_; }
    std::optional<EntryKind> failedKind() const;

  private:
    WalkStep Fail(EntryProblem problem);

    LittleEndianReader reader_;
    bool deltaEntries_;
    bool knowsFileEntries_;
    std::size_t entryOffset_ = 0;
    EntryProblem problem_ = EntryProblem::kNone;
    std::optional<EntryKind> kind_;
    bool ended_ = false;
};

struct DiffRecord {
    // Counted from the start of the file.
    std::int64_t position = 0;
    ByteView bytes;
};

class DiffRecordReader {
  public:
    explicit DiffRecordReader(ByteView data) : reader_(data) {}
    RecordStep Next(DiffRecord* record);

  private:
    LittleEndianReader reader_;
    std::int64_t position_ = 0;
};

// Hands out a payload held in memory in pieces of at most `piece` bytes.
class PiecewiseSource : public PayloadSource {
  public:
    PiecewiseSource(ByteView bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
    bool Read(std::size_t max, ByteView* piece) override;
    bool Rewind() override;

  private:
    ByteView bytes_;
    std::size_t piece_;
    std::size_t offset_ = 0;
};

// What a reading of a whole payload found, in a form both readers give.
struct WalkReport {
    struct Entry {
        EntryKind kind;
        std::string name;
        std::int64_t finalSize;
        std::uint64_t dataLength;
        std::uint64_t records;
        bool operator==(const Entry&) const = default;
    };
    std::vector<Entry> entries;
    EntryProblem problem = EntryProblem::kNone;
    std::optional<EntryKind> failedKind;
    std::uint64_t failedOffset = 0;
    std::uint64_t bytesAfterEnd = 0;
    bool operator==(const WalkReport&) const = default;
};

// `payload` read by the walker above.
WalkReport WalkWholeBuffer(ByteView payload, bool deltaEntries, bool knowsFileEntries = true);

// `payload` read by the updater's checking pass (CheckPayload), handed out in
// pieces of at most `piece` bytes so that every field may be split.
WalkReport WalkStreamed(ByteView payload, bool deltaEntries, std::size_t piece = SIZE_MAX);

std::string Describe(const WalkReport& report);

}  // namespace reference
