#include "patch/package_format.h"

#include <algorithm>

// ---------------------------------------------------------------------------
// Header

bool ReadPackageHeader(ByteView bytes, PackageHeader* header) {
    LittleEndianReader reader(bytes);
    std::uint32_t magic = 0;
    if (!reader.ReadU32(&magic) || !reader.ReadU32(&header->version) ||
        !reader.ReadU32(&header->unpackedSize)) {
        return false;
    }
    const PayloadCodec* codec = CodecWithMagic(magic);
    if (codec == nullptr)
        return false;
    header->codec = codec->codec;
    return true;
}

// ---------------------------------------------------------------------------
// Entries

std::optional<EntryKind> EntryKindOfTag(std::uint32_t tag) {
    switch (tag) {
        case kAddTag:
            return EntryKind::kAdd;
        case kModifyTag:
            return EntryKind::kModify;
        case kDeltaTag:
            return EntryKind::kDelta;
        default:
            return std::nullopt;
    }
}

std::uint32_t TagOfEntryKind(EntryKind kind) {
    switch (kind) {
        case EntryKind::kAdd:
            return kAddTag;
        case EntryKind::kModify:
            return kModifyTag;
        case EntryKind::kDelta:
            return kDeltaTag;
    }
    return kEndTag;
}

bool ReadDeltaPreamble(ByteView data, DeltaPreamble* preamble) {
    if (data.size() < kDeltaEntryHeadSize)
        return false;
    const std::uint8_t* bytes = data.data();
    preamble->oldSize = GetLe(bytes, 8);
    std::copy_n(bytes + 8, 32, preamble->oldDigest.begin());
    preamble->newSize = GetLe(bytes + 40, 8);
    std::copy_n(bytes + 48, 32, preamble->newDigest.begin());
    const std::uint8_t* header = bytes + kDeltaPreambleSize;
    std::copy_n(header, kDeltaHeaderSize, preamble->deltaHeader.begin());
    return GetLe(header, 4) == kDeltaMagic && GetLe(header + 4, 8) == preamble->oldSize &&
           GetLe(header + 12, 8) == preamble->newSize;
}

bool IsSafeEntryName(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.front() == '\\')
        return false;
    if (name.find(':') != std::string_view::npos)
        return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
        if (name.substr(start, end - start) == "..")
            return false;
        start = end + 1;
    }
    return true;
}

void NameFieldScanner::Feed(ByteView piece) {
    auto rest = piece.begin();
    if (!terminated_) {
        rest = std::find(piece.begin(), piece.end(), std::uint8_t{0});
        const auto count = static_cast<std::size_t>(rest - piece.begin());
        // Past the cap the name is no longer kept, only the field checked.
        if (tooLong_ || name_.size() + count > kMaxEntryNameLength)
            tooLong_ = true;
        else
            name_.append(reinterpret_cast<const char*>(piece.data()), count);
        if (rest == piece.end())
            return;
        terminated_ = true;
        ++rest;  // the zero byte itself
    }
    bytesAfterName_ = bytesAfterName_ ||
                      std::any_of(rest, piece.end(), [](std::uint8_t byte) { return byte != 0; });
}

EntryProblem NameFieldScanner::Finish() const {
    if (!terminated_)
        return EntryProblem::kUnterminatedName;
    if (bytesAfterName_)
        return EntryProblem::kBytesAfterName;
    if (tooLong_)
        return EntryProblem::kNameTooLong;
    return IsSafeEntryName(name_) ? EntryProblem::kNone : EntryProblem::kUnsafeName;
}

WalkStep EntryWalker::Fail(EntryProblem problem) {
    problem_ = problem;
    return WalkStep::kMalformed;
}

std::optional<EntryKind> EntryWalker::failedKind() const {
    return problem_ == EntryProblem::kNone ? std::nullopt : kind_;
}

WalkStep EntryWalker::Next(PackageEntry* entry) {
    if (problem_ != EntryProblem::kNone)
        return WalkStep::kMalformed;
    if (ended_)
        return WalkStep::kEnd;
    entryOffset_ = reader_.offset();
    kind_.reset();

    std::uint32_t tag = 0;
    if (!reader_.ReadU32(&tag))
        return Fail(EntryProblem::kTruncated);
    if (tag == kEndTag) {
        ended_ = true;
        return WalkStep::kEnd;
    }
    const std::optional<EntryKind> tagKind = EntryKindOfTag(tag);
    if (!tagKind)
        return Fail(EntryProblem::kUnknownTag);
    const EntryKind kind = *tagKind;
    kind_ = kind;
    if (kind == EntryKind::kDelta && !deltaEntries_)
        return Fail(EntryProblem::kDeltaNotAllowed);

    std::int32_t finalSize = 0;
    std::uint32_t nameLength = 0;
    ByteView nameField;
    std::uint32_t dataLength = 0;
    ByteView data;
    if (!reader_.ReadI32(&finalSize) || !reader_.ReadU32(&nameLength) ||
        !reader_.ReadBytes(nameLength, &nameField) || !reader_.ReadU32(&dataLength) ||
        !reader_.ReadBytes(dataLength, &data)) {
        return Fail(EntryProblem::kTruncated);
    }

    NameFieldScanner scanner;
    scanner.Feed(nameField);
    if (const EntryProblem nameProblem = scanner.Finish(); nameProblem != EntryProblem::kNone)
        return Fail(nameProblem);
    // The name as a view into the payload, which outlives the scanner's copy.
    const std::string_view name(reinterpret_cast<const char*>(nameField.data()),
                                scanner.name().size());

    if (kind == EntryKind::kModify) {
        if (finalSize < 0)
            return Fail(EntryProblem::kNegativeFinalSize);
        if (!DiffRecordsValid(data))
            return Fail(EntryProblem::kBadDiffRecords);
    }
    DeltaPreamble preamble;
    if (kind == EntryKind::kDelta && !ReadDeltaPreamble(data, &preamble))
        return Fail(EntryProblem::kBadDeltaHead);
    *entry = PackageEntry{kind, finalSize, name, data};
    return WalkStep::kEntry;
}

// ---------------------------------------------------------------------------
// Diff records

RecordStep DiffRecordReader::Next(DiffRecord* record) {
    if (reader_.remaining() == 0)
        return RecordStep::kEnd;
    std::int32_t seek = 0;
    std::uint32_t length = 0;
    ByteView bytes;
    if (!reader_.ReadI32(&seek) || !reader_.ReadU32(&length) ||
        !reader_.ReadBytes(length, &bytes)) {
        return RecordStep::kMalformed;
    }
    // At most D / 8 records each move the position by less than 2^33, so the
    // sum stays far inside 64 bits.
    const std::int64_t position = position_ + seek;
    if (position < 0)
        return RecordStep::kMalformed;
    position_ = position + static_cast<std::int64_t>(length);
    *record = DiffRecord{seek, position, bytes};
    return RecordStep::kRecord;
}

bool DiffRecordsValid(ByteView data) {
    DiffRecordReader reader(data);
    DiffRecord record;
    RecordStep step = RecordStep::kRecord;
    while ((step = reader.Next(&record)) == RecordStep::kRecord) {
    }
    return step == RecordStep::kEnd;
}
