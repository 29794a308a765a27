#include "patch/entry_stream.h"

#include <algorithm>
#include <cstring>

namespace {

std::size_t PieceOf(std::uint64_t left) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(left, SIZE_MAX));
}

std::uint32_t LittleEndianU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
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
    *value = LittleEndianU32(bytes);
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
bool EntryStream::ReadNameField(std::uint32_t length, EntryHead* head) {
    NameFieldScanner scanner;
    ByteView piece;
    for (std::uint32_t left = length; left != 0; left -= static_cast<std::uint32_t>(piece.size())) {
        if (!payload_->ReadPiece(left, &piece)) {
            problem_ = EntryProblem::kTruncated;
            return false;
        }
        scanner.Feed(piece);
    }
    problem_ = scanner.Finish();
    head->name = scanner.name();
    return problem_ == EntryProblem::kNone;
}

WalkStep EntryStream::NextHead(EntryHead* head) {
    if (problem_ != EntryProblem::kNone)
        return WalkStep::kMalformed;
    kind_.reset();
    if (!SkipData())
        return Fail(EntryProblem::kTruncated);

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
    if (head->kind == EntryKind::kDelta && !deltaEntries_)
        return Fail(EntryProblem::kDeltaNotAllowed);

    std::uint32_t nameLength = 0;
    if (!payload_->ReadI32(&head->finalSize) || !payload_->ReadU32(&nameLength))
        return Fail(EntryProblem::kTruncated);
    if (!ReadNameField(nameLength, head))
        return WalkStep::kMalformed;
    std::uint32_t dataLength = 0;
    if (!payload_->ReadU32(&dataLength))
        return Fail(EntryProblem::kTruncated);
    dataLeft_ = dataLength;
    if (head->kind == EntryKind::kModify && head->finalSize < 0)
        return Fail(EntryProblem::kNegativeFinalSize);
    return WalkStep::kEntry;
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
    std::uint8_t header[8];
    if (!entry_->ReadDataExact(header, sizeof header))
        return RecordStep::kMalformed;
    const auto seek = static_cast<std::int32_t>(LittleEndianU32(header));
    *length = LittleEndianU32(header + 4);
    if (*length > entry_->dataLeft())
        return RecordStep::kMalformed;
    // At most D / 8 records each move the position by less than 2^33, so the
    // sum stays far inside 64 bits.
    *position = position_ + seek;
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

// Reads an entry's data without applying it; false when the entry turns out
// malformed there: records that do not fit or the payload ending first.
bool CheckEntryData(EntryStream& entries, EntryKind kind) {
    if (kind == EntryKind::kModify) {
        RecordStream records(&entries);
        std::int64_t position = 0;
        std::uint32_t length = 0;
        RecordStep step = RecordStep::kRecord;
        while ((step = records.Next(&position, &length)) == RecordStep::kRecord) {
        }
        if (step != RecordStep::kEnd)
            return false;
    }
    return entries.SkipData();
}

}  // namespace

PayloadCheck CheckPayload(PayloadSource& source, std::uint32_t unpackedSize, bool deltaEntries,
                          const EntryCheck& checkEntry) {
    PayloadReader payload(&source, unpackedSize);
    EntryStream entries(&payload, deltaEntries);
    PayloadCheck check;
    EntryHead head;
    WalkStep step = WalkStep::kEntry;
    while ((step = entries.NextHead(&head)) == WalkStep::kEntry) {
        DeltaPreamble preamble;
        const bool delta = head.kind == EntryKind::kDelta;
        const bool headGood = !delta || ReadDeltaHead(entries, &preamble);
        if (headGood && checkEntry && !checkEntry(head, delta ? &preamble : nullptr, entries)) {
            check.refused = true;
            return check;
        }
        if (!headGood || !CheckEntryData(entries, head.kind)) {
            step = WalkStep::kMalformed;
            check.malformedKind = head.kind;
            break;
        }
        ++check.goodEntries;
    }
    if (step == WalkStep::kMalformed) {
        check.malformed = true;
        if (const std::optional<EntryKind> kind = entries.failedKind())
            check.malformedKind = kind;
    }
    // Whatever the entries showed, the stream must be whole: bzip2 finds a
    // damaged block only when it reaches it, and the end marker comes last.
    check.intact = payload.ReadToEnd();
    return check;
}
