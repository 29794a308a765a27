// The one reader of a package's entries and diff records (layout in
// package_format.h), holding no more of the payload than a name.
//
// The payload comes piece by piece from a PayloadSource (payload_stream.h,
// opened by package_source.h from a file or from memory), and an entry's data
// is handed out as it comes, so no buffer grows with the package, an entry or
// its data; the price is that a fault late in an entry shows only once its
// data was read. CheckPayload therefore reads the whole payload once without
// applying anything and judges every entry whole; the updater's applying
// pass then applies the entries it found good, and patchtool's inspect and
// verify print what it found. So the tool and the updater read a package with
// the same code and cannot disagree about what it holds.
//
// Everything here runs on the thread that applies the package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "patch/package_format.h"
#include "patch/payload_stream.h"

// The unpacked payload cut to the header's unpacked size U: exactly U bytes
// are handed out and never one beyond, so an entry that runs past them is cut
// short as it would be in a buffer of U bytes.
class PayloadReader {
  public:
    PayloadReader(PayloadSource* source, std::uint64_t length)
        : source_(source), length_(length), left_(length) {}

    // Up to `max` (at least 1) next bytes, valid until the next read. False at
    // the end of the U bytes, or when the source fails or ends before them
    // (sourceFailed() tells).
    bool ReadPiece(std::size_t max, ByteView* piece);
    // Exactly `count` bytes into `out`; false when fewer are left.
    bool ReadExact(std::uint8_t* out, std::size_t count);
    bool ReadU32(std::uint32_t* value);
    bool ReadI32(std::int32_t* value);

    // Reads whatever is left of the U bytes; true when the source gave
    // exactly U bytes and then ended cleanly.
    bool ReadToEnd();

    bool sourceFailed() const { return sourceFailed_; }
    // How many of the U bytes were handed out.
    std::uint64_t offset() const { return length_ - left_; }

  private:
    PayloadSource* source_;
    std::uint64_t length_;
    std::uint64_t left_;  // of the U bytes, not handed out yet
    bool sourceFailed_ = false;
};

// An entry's fields before its data.
struct EntryHead {
    EntryKind kind = EntryKind::kAdd;
    std::int32_t finalSize = 0;
    std::string name;
};

// Yields the entries of a payload one by one, each entry's data in pieces.
class EntryStream {
  public:
    // `deltaEntries`: the package's codec allows delta entries, and check and
    // remove entries with them (PayloadCodec::deltaEntries); otherwise a delta
    // entry is kDeltaNotAllowed, a check or remove entry kKindNotAllowed.
    explicit EntryStream(PayloadReader* payload, bool deltaEntries = false)
        : payload_(payload), deltaEntries_(deltaEntries) {}

    // Reads the next entry up to its data, skipping what is left of the data
    // before it. kEntry fills `*head`, its name field, name and final size
    // checked; the data then comes from ReadData. kEnd means the zero tag was
    // read. kMalformed means the entry is broken already in these fields (see
    // problem() and failedKind()), or what was left of the data before it
    // could not be read. After kEnd or kMalformed every further call returns
    // the same.
    WalkStep NextHead(EntryHead* head);

    EntryProblem problem() const { return problem_; }
    // After a problem: the kind of the broken entry when its tag was read and
    // named one (an applier reports that entry's stage before the failure, as
    // it would for an entry that fails while being applied); empty when the
    // tag itself was missing or unknown, or when nothing failed.
    std::optional<EntryKind> failedKind() const;
    // Where in the payload the entry NextHead read last starts (its tag), or
    // the zero tag after kEnd.
    std::uint64_t entryOffset() const { return entryOffset_; }
    // The data length of the entry NextHead read last.
    std::uint32_t dataLength() const { return dataLength_; }

    // Reads past what is left of the entry's data and takes `found`, what
    // the caller (or NextHead) found wrong with the entry, as its problem;
    // kTruncated instead when the payload ends before the data does, as a
    // judge of the whole entry must say. Returns the problem now held.
    EntryProblem FinishEntry(EntryProblem found);

    // The next piece of the current entry's data, at most `max` bytes. False
    // when the data is used up or the payload ends first (dataLeft() then
    // tells how much of it never came).
    bool ReadData(std::size_t max, ByteView* piece);
    bool ReadDataExact(std::uint8_t* out, std::size_t count);
    // Reads past the rest of the data; false when the payload ends first.
    bool SkipData();
    std::uint64_t dataLeft() const { return dataLeft_; }

  private:
    WalkStep Fail(EntryProblem problem);
    bool ReadNameField(std::uint32_t length, NameFieldScanner* scanner);

    PayloadReader* payload_;
    bool deltaEntries_;
    std::uint64_t entryOffset_ = 0;
    std::uint32_t dataLength_ = 0;
    std::uint64_t dataLeft_ = 0;
    EntryProblem problem_ = EntryProblem::kNone;
    std::optional<EntryKind> kind_;
};

// Reads the first kDeltaEntryHeadSize bytes of a delta entry's data and
// checks them (ReadDeltaPreamble in package_format.h); the delta's blocks are
// what is left of the data. False when the data is too short or the fields
// disagree.
bool ReadDeltaHead(EntryStream& entries, DeltaPreamble* preamble);

// Reads a check entry's data whole (kCheckFieldsSize bytes, no more). False
// when the data has another length.
bool ReadCheckFields(EntryStream& entries, CheckFields* fields);

// Reads a remove entry's data whole: nothing, or the file it expects. False
// when the data has another length.
bool ReadRemoveFields(EntryStream& entries, std::optional<FileIdentity>* expected);

// Yields the diff records of a modify entry's data, each record's bytes in
// pieces.
class RecordStream {
  public:
    explicit RecordStream(EntryStream* entry) : entry_(entry) {}

    // Reads the next record's seek and length, skipping what is left of the
    // record before. kRecord sets `*position` (counted from the start of the
    // file) and `*length`; the bytes then come from ReadBytes. kEnd means the
    // data is used up. kMalformed means the record runs past the data, would
    // move the position before the start of the file, or the payload ended.
    RecordStep Next(std::int64_t* position, std::uint32_t* length);
    // The next piece of the current record's bytes; false once they are used
    // up or the payload ended (bytesLeft() then tells how many never came).
    bool ReadBytes(ByteView* piece);
    std::uint32_t bytesLeft() const { return bytesLeft_; }

  private:
    EntryStream* entry_;
    std::int64_t position_ = 0;
    std::uint32_t bytesLeft_ = 0;
};

// What a reading of the whole payload found, before anything is applied.
struct PayloadCheck {
    // The stream unpacked to exactly the unpacked size and ended there. When
    // false, nothing else here counts and the package must not be applied.
    bool intact = false;
    // The entries before the first malformed one, or before the end of the
    // list: the ones to apply.
    std::uint64_t goodEntries = 0;
    bool malformed = false;
    // The malformed entry's kind, when its tag named one; what is wrong with
    // it; and where in the payload it starts.
    std::optional<EntryKind> malformedKind;
    EntryProblem problem = EntryProblem::kNone;
    std::uint64_t malformedOffset = 0;
    // The unpacked bytes after the zero tag, when the list ended; nothing
    // reads them.
    std::uint64_t bytesAfterEnd = 0;
    // An entry before the malformed one (or the end) was refused by the
    // caller's check; the package must not be applied, and the check stopped
    // there.
    bool refused = false;
};

// An entry the check found good, with what its data showed.
struct CheckedEntry {
    EntryHead head;
    std::uint32_t dataLength = 0;
    std::uint64_t records = 0;               // a modify entry's diff records
    std::optional<DeltaPreamble> preamble;   // a delta entry's fields
    std::optional<CheckFields> checkFields;  // a check entry's fields
    std::optional<FileIdentity> expected;    // the file a remove entry expects, if it names one
};

// Judges an entry against the installation before anything is applied:
// called with the entry as far as it was read (its head, and the fields of a
// delta, check or remove entry; records are not counted yet), and the stream
// standing at the first byte of the entry's data after those fields. It may
// read a delta entry's data or leave it; the data of the other kinds it must
// leave to the check that follows. Returns false to refuse the package.
using EntryCheck = std::function<bool(const CheckedEntry& entry, EntryStream& data)>;
using EntrySeen = std::function<void(const CheckedEntry& entry)>;

// Reads the whole unpacked payload of `source` once, from where it stands,
// applying nothing: every entry up to the end of the list or the first
// malformed one is judged whole (its fields, a name field of a safe name and
// zero padding only, for a modify entry its final size and diff records, for
// a delta entry its fields before the delta's blocks, for a check or remove
// entry the length of its fields, and its data all there), each good entry
// head also by `checkEntry` when one is given, and then handed to `seen` when
// one is given; the stream is then read on to its end to make sure it gives
// exactly `unpackedSize` bytes. `deltaEntries` as for EntryStream. A delta's
// blocks can only be judged against the old file, which `checkEntry` may do.
PayloadCheck CheckPayload(PayloadSource& source, std::uint32_t unpackedSize,
                          bool deltaEntries = false, const EntryCheck& checkEntry = {},
                          const EntrySeen& seen = {});
