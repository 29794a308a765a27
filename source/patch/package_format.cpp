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
        case kCheckTag:
            return EntryKind::kCheck;
        case kRemoveTag:
            return EntryKind::kRemove;
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
        case EntryKind::kCheck:
            return kCheckTag;
        case EntryKind::kRemove:
            return kRemoveTag;
    }
    return kEndTag;
}

bool NeedsDeltaCodec(EntryKind kind) {
    return kind == EntryKind::kDelta || kind == EntryKind::kCheck || kind == EntryKind::kRemove;
}

bool ReadFileIdentity(ByteView data, FileIdentity* file) {
    if (data.size() < kFileIdentitySize)
        return false;
    file->size = GetLe(data.data(), 8);
    std::copy_n(data.data() + 8, 32, file->digest.begin());
    return true;
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

// ---------------------------------------------------------------------------
// Diff records

DiffRecordHeader DecodeDiffRecordHeader(const std::uint8_t (&bytes)[kDiffRecordHeaderSize]) {
    // The seek is two's complement, as written.
    return {static_cast<std::int32_t>(GetLe(bytes, 4)),
            static_cast<std::uint32_t>(GetLe(bytes + 4, 4))};
}

void EncodeDiffRecordHeader(const DiffRecordHeader& header,
                            std::uint8_t (&bytes)[kDiffRecordHeaderSize]) {
    const auto seek = static_cast<std::uint32_t>(header.seek);
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seek >> (8 * i));
        bytes[4 + i] = static_cast<std::uint8_t>(header.length >> (8 * i));
    }
}
