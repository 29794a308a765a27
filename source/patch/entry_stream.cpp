#include "patch/entry_stream.h"

#include <algorithm>
#include <cstring>

namespace {

std::size_t PieceOf(std::uint64_t left) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(left, SIZE_MAX));
}

}  // namespace

// ---------------------------------------------------------------------------
// PayloadReader

bool PayloadReader::ReadPiece(std::size_t max, ByteView* piece) {
    if (left_ == 0 || max == 0 || sourceFailed_)
        return false;
    // A source that ends before U bytes came is as broken as a damaged one.
    if (!source_->Read(PieceOf(std::min<std::uint64_t>(max, left_)), piece) || piece->empty()) {
        sourceFailed_ = true;
        return false;
    }
    left_ -= piece->size();
    return true;
}

bool PayloadReader::ReadExact(std::uint8_t* out, std::size_t count) {
    ByteView piece;
    while (count != 0) {
        if (!ReadPiece(count, &piece))
            return false;
        std::memcpy(out, piece.data(), piece.size());
        out += piece.size();
        count -= piece.size();
    }
    return true;
}

bool PayloadReader::ReadU32(std::uint32_t* value) {
    std::uint8_t bytes[4];
    if (!ReadExact(bytes, sizeof bytes))
        return false;
    *value = static_cast<std::uint32_t>(GetLe(bytes, sizeof bytes));
    return true;
}

bool PayloadReader::ReadI32(std::int32_t* value) {
    std::uint32_t raw = 0;
    if (!ReadU32(&raw))
        return false;
    *value = static_cast<std::int32_t>(raw);  // two's complement, as written
    return true;
}

bool PayloadReader::ReadToEnd() {
    ByteView piece;
    while (ReadPiece(SIZE_MAX, &piece)) {
    }
    if (sourceFailed_)
        return false;
    // One byte more than U must not come: the stream has to end here.
    return source_->Read(1, &piece) && piece.empty();
}

// ---------------------------------------------------------------------------
// EntryStream

WalkStep EntryStream::Fail(EntryProblem problem) {
    problem_ = problem;
    return WalkStep::kMalformed;
}

std::optional<EntryKind> EntryStream::failedKind() const {
    return problem_ == EntryProblem::kNone ? std::nullopt : kind_;
}

// The field streams through the scanner, which keeps the name alone.
bool EntryStream::ReadNameField(std::uint32_t length, NameFieldScanner* scanner) {
    ByteView piece;
    for (std::uint32_t left = length; left != 0; left -= static_cast<std::uint32_t>(piece.size())) {
        if (!payload_->ReadPiece(left, &piece))
            return false;
        scanner->Feed(piece);
    }
    return true;
}

WalkStep EntryStream::NextHead(EntryHead* head) {
    if (problem_ != EntryProblem::kNone)
        return WalkStep::kMalformed;
    kind_.reset();
    if (!SkipData())
        return Fail(EntryProblem::kTruncated);
    entryOffset_ = payload_->offset();

    std::uint32_t tag = 0;
    if (!payload_->ReadU32(&tag))
        return Fail(EntryProblem::kTruncated);
    if (tag == kEndTag)
        return WalkStep::kEnd;
    const std::optional<EntryKind> kind = EntryKindOfTag(tag);
    if (!kind)
        return Fail(EntryProblem::kUnknownTag);
    head->kind = *kind;
    kind_ = head->kind;
    if (NeedsDeltaCodec(head->kind) && !deltaEntries_) {
        return Fail(head->kind == EntryKind::kDelta ? EntryProblem::kDeltaNotAllowed
                                                    : EntryProblem::kKindNotAllowed);
    }

    // Every field is read before any is judged: a field cut short is the
    // entry's problem whatever the fields before it hold.
    std::uint32_t nameLength = 0;
    NameFieldScanner scanner;
    if (!payload_->ReadI32(&head->finalSize) || !payload_->ReadU32(&nameLength) ||
        !ReadNameField(nameLength, &scanner) || !payload_->ReadU32(&dataLength_)) {
        return Fail(EntryProblem::kTruncated);
    }
    head->name = scanner.name();
    dataLeft_ = dataLength_;
    if (const EntryProblem nameProblem = scanner.Finish(); nameProblem != EntryProblem::kNone)
        return Fail(nameProblem);
    if (head->kind == EntryKind::kModify && head->finalSize < 0)
        return Fail(EntryProblem::kNegativeFinalSize);
    return WalkStep::kEntry;
}

EntryProblem EntryStream::FinishEntry(EntryProblem found) {
    problem_ = SkipData() ? found : EntryProblem::kTruncated;
    return problem_;
}

bool EntryStream::ReadData(std::size_t max, ByteView* piece) {
    if (dataLeft_ == 0 ||
        !payload_->ReadPiece(PieceOf(std::min<std::uint64_t>(max, dataLeft_)), piece)) {
        return false;
    }
    dataLeft_ -= piece->size();
    return true;
}

bool EntryStream::ReadDataExact(std::uint8_t* out, std::size_t count) {
    if (count > dataLeft_ || !payload_->ReadExact(out, count))
        return false;
    dataLeft_ -= count;
    return true;
}

bool EntryStream::SkipData() {
    ByteView piece;
    while (ReadData(PieceOf(dataLeft_), &piece)) {
    }
    return dataLeft_ == 0;
}

bool ReadDeltaHead(EntryStream& entries, DeltaPreamble* preamble) {
    std::uint8_t head[kDeltaEntryHeadSize];
    return entries.ReadDataExact(head, sizeof head) && ReadDeltaPreamble(head, preamble);
}

bool ReadCheckFields(EntryStream& entries, CheckFields* fields) {
    std::uint8_t bytes[kCheckFieldsSize];
    return entries.dataLeft() == sizeof bytes && entries.ReadDataExact(bytes, sizeof bytes) &&
           ReadFileIdentity(ByteView(bytes, kFileIdentitySize), &fields->oldFile) &&
           ReadFileIdentity(ByteView(bytes + kFileIdentitySize, kFileIdentitySize),
                            &fields->newFile);
}

bool ReadRemoveFields(EntryStream& entries, std::optional<FileIdentity>* expected) {
    expected->reset();
    if (entries.dataLeft() == 0)
        return true;
    std::uint8_t bytes[kFileIdentitySize];
    FileIdentity file;
    if (entries.dataLeft() != sizeof bytes || !entries.ReadDataExact(bytes, sizeof bytes) ||
        !ReadFileIdentity(bytes, &file)) {
        return false;
    }
    *expected = file;
    return true;
}

// ---------------------------------------------------------------------------
// RecordStream

RecordStep RecordStream::Next(std::int64_t* position, std::uint32_t* length) {
    ByteView piece;
    while (ReadBytes(&piece)) {
    }
    if (bytesLeft_ != 0)
        return RecordStep::kMalformed;
    if (entry_->dataLeft() == 0)
        return RecordStep::kEnd;
    std::uint8_t bytes[kDiffRecordHeaderSize];
    if (!entry_->ReadDataExact(bytes, sizeof bytes))
        return RecordStep::kMalformed;
    const DiffRecordHeader header = DecodeDiffRecordHeader(bytes);
    *length = header.length;
    if (*length > entry_->dataLeft())
        return RecordStep::kMalformed;
    // At most D / 8 records each move the position by less than 2^33, so the
    // sum stays far inside 64 bits.
    *position = position_ + header.seek;
    if (*position < 0)
        return RecordStep::kMalformed;
    position_ = *position + static_cast<std::int64_t>(*length);
    bytesLeft_ = *length;
    return RecordStep::kRecord;
}

bool RecordStream::ReadBytes(ByteView* piece) {
    if (bytesLeft_ == 0 || !entry_->ReadData(bytesLeft_, piece))
        return false;
    bytesLeft_ -= static_cast<std::uint32_t>(piece->size());
    return true;
}

// ---------------------------------------------------------------------------
// The checking pass

namespace {

// Reads a modify entry's records without applying them; false when one does
// not fit the data or the payload ends first.
bool CountRecords(EntryStream& entries, std::uint64_t* count) {
    RecordStream records(&entries);
    std::int64_t position = 0;
    std::uint32_t length = 0;
    RecordStep step = RecordStep::kRecord;
    while ((step = records.Next(&position, &length)) == RecordStep::kRecord)
        ++*count;
    return step == RecordStep::kEnd;
}

// Reads the data of an entry whose head was good as far as the format
// judges it, and runs the caller's check on it; what is wrong with the
// entry, or kNone (also when the caller refused the package, which
// `*refused` then tells).
EntryProblem CheckEntryData(EntryStream& entries, const EntryCheck& checkEntry, CheckedEntry* entry,
                            bool* refused) {
    entry->dataLength = entries.dataLength();
    entry->records = 0;
    entry->preamble.reset();
    entry->checkFields.reset();
    entry->expected.reset();
    switch (entry->head.kind) {
        case EntryKind::kDelta: {
            DeltaPreamble preamble;
            if (!ReadDeltaHead(entries, &preamble))
                return EntryProblem::kBadDeltaHead;
            entry->preamble = preamble;
            break;
        }
        case EntryKind::kCheck: {
            CheckFields fields;
            if (!ReadCheckFields(entries, &fields))
                return EntryProblem::kBadFileFields;
            entry->checkFields = fields;
            break;
        }
        case EntryKind::kRemove:
            if (!ReadRemoveFields(entries, &entry->expected))
                return EntryProblem::kBadFileFields;
            break;
        case EntryKind::kAdd:
        case EntryKind::kModify:
            break;
    }
    if (checkEntry && !checkEntry(*entry, entries)) {
        *refused = true;
        return EntryProblem::kNone;
    }
    if (entry->head.kind == EntryKind::kModify && !CountRecords(entries, &entry->records))
        return EntryProblem::kBadDiffRecords;
    return EntryProblem::kNone;
}

}  // namespace

PayloadCheck CheckPayload(PayloadSource& source, std::uint32_t unpackedSize, bool deltaEntries,
                          const EntryCheck& checkEntry, const EntrySeen& seen) {
    PayloadReader payload(&source, unpackedSize);
    EntryStream entries(&payload, deltaEntries);
    PayloadCheck check;
    CheckedEntry entry;
    WalkStep step = WalkStep::kEntry;
    while ((step = entries.NextHead(&entry.head)) != WalkStep::kEnd) {
        EntryProblem found = entries.problem();
        if (step == WalkStep::kEntry) {
            found = CheckEntryData(entries, checkEntry, &entry, &check.refused);
            if (check.refused)
                return check;
        }
        if (entries.FinishEntry(found) != EntryProblem::kNone) {
            check.malformed = true;
            check.problem = entries.problem();
            check.malformedKind = entries.failedKind();
            check.malformedOffset = entries.entryOffset();
            break;
        }
        ++check.goodEntries;
        if (seen)
            seen(entry);
    }
    if (step == WalkStep::kEnd)
        check.bytesAfterEnd = unpackedSize - payload.offset();
    // Whatever the entries showed, the stream must be whole: bzip2 finds a
    // damaged block only when it reaches it, and the end marker comes last.
    check.intact = payload.ReadToEnd();
    return check;
}
