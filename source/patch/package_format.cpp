#include "patch/package_format.h"

#include <bzlib.h>
#include <lzo/lzo1x.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------
// LittleEndianReader

bool LittleEndianReader::ReadU32(std::uint32_t* value) {
    if (remaining() < 4)
        return false;
    const std::uint8_t* p = bytes_.data() + offset_;
    *value = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
             static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    offset_ += 4;
    return true;
}

bool LittleEndianReader::ReadI32(std::int32_t* value) {
    std::uint32_t raw = 0;
    if (!ReadU32(&raw))
        return false;
    *value = static_cast<std::int32_t>(raw);  // two's complement, as written
    return true;
}

bool LittleEndianReader::ReadBytes(std::size_t count, ByteView* bytes) {
    if (count > remaining())
        return false;
    *bytes = bytes_.subspan(offset_, count);
    offset_ += count;
    return true;
}

// ---------------------------------------------------------------------------
// ByteBuffer

bool ByteBuffer::Allocate(std::size_t size) {
    Release();
    // new[] of zero elements still gives a distinct pointer, so an empty
    // payload is an ordinary buffer rather than a failed allocation.
    bytes_.reset(new (std::nothrow) std::uint8_t[size]);
    if (!bytes_)
        return false;
    size_ = size;
    return true;
}

void ByteBuffer::Release() {
    bytes_.reset();
    size_ = 0;
}

void ByteBuffer::ShrinkTo(std::size_t size) {
    size_ = std::min(size, size_);
}

// ---------------------------------------------------------------------------
// Header and payload

std::uint32_t MagicOf(PackageCodec codec) {
    return codec == PackageCodec::kLzo1x ? kLzo1xMagic : kBzip2Magic;
}

bool ReadPackageHeader(ByteView bytes, PackageHeader* header) {
    LittleEndianReader reader(bytes);
    std::uint32_t magic = 0;
    if (!reader.ReadU32(&magic) || !reader.ReadU32(&header->version) ||
        !reader.ReadU32(&header->unpackedSize)) {
        return false;
    }
    if (magic == kLzo1xMagic) {
        header->codec = PackageCodec::kLzo1x;
    } else if (magic == kBzip2Magic) {
        header->codec = PackageCodec::kBzip2;
    } else {
        return false;
    }
    return true;
}

bool LzoReady() {
    static const bool ready = lzo_init() == LZO_E_OK;
    return ready;
}

namespace {

bool DecompressLzo1x(ByteView payload, ByteBuffer* unpacked, lzo_uint* produced) {
    if (!LzoReady())
        return false;
    *produced = unpacked->size();
    const int result =
        lzo1x_decompress_safe(payload.data(), payload.size(), unpacked->data(), produced, nullptr);
    // A stream followed by other bytes still unpacked whole; the extra bytes
    // are not ours to judge.
    return result == LZO_E_OK || result == LZO_E_INPUT_NOT_CONSUMED;
}

bool DecompressBzip2(ByteView payload, ByteBuffer* unpacked, std::size_t* produced) {
    // The library counts in unsigned int. A payload longer than that cannot be
    // handed over whole; a capacity beyond it is cut to it, which still leaves
    // room for any U, since U itself is a 32-bit field.
    if (payload.size() > UINT_MAX)
        return false;
    unsigned int capacity =
        static_cast<unsigned int>(std::min<std::size_t>(unpacked->size(), UINT_MAX));
    // The library's interface is not const-correct; it only reads the source.
    char* source = const_cast<char*>(reinterpret_cast<const char*>(payload.data()));
    const int result =
        BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(unpacked->data()), &capacity, source,
                                   static_cast<unsigned int>(payload.size()), 0, 0);
    *produced = capacity;
    return result == BZ_OK;
}

}  // namespace

bool DecompressPayload(PackageCodec codec, ByteView payload, std::uint32_t unpackedSize,
                       ByteBuffer* unpacked) {
    const std::size_t slack = codec == PackageCodec::kLzo1x ? kLzo1xSlack : kBzip2Slack;
    if (unpackedSize > SIZE_MAX - slack)
        return false;
    if (!unpacked->Allocate(unpackedSize + slack))
        return false;
    bool ok = false;
    std::size_t produced = 0;
    if (codec == PackageCodec::kLzo1x) {
        lzo_uint lzoProduced = 0;
        ok = DecompressLzo1x(payload, unpacked, &lzoProduced);
        produced = lzoProduced;
    } else {
        ok = DecompressBzip2(payload, unpacked, &produced);
    }
    if (!ok || produced != unpackedSize) {
        unpacked->Release();
        return false;
    }
    unpacked->ShrinkTo(produced);
    return true;
}

// ---------------------------------------------------------------------------
// Entries

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

namespace {

// The name inside its field: the bytes before the first zero byte. False when
// there is no zero byte, or a non-zero byte follows it (`*problem` tells which).
bool NameOfField(ByteView field, std::string_view* name, EntryProblem* problem) {
    const auto terminator = std::find(field.begin(), field.end(), std::uint8_t{0});
    if (terminator == field.end()) {
        *problem = EntryProblem::kUnterminatedName;
        return false;
    }
    if (std::any_of(terminator, field.end(), [](std::uint8_t byte) { return byte != 0; })) {
        *problem = EntryProblem::kBytesAfterName;
        return false;
    }
    *name = std::string_view(reinterpret_cast<const char*>(field.data()),
                             static_cast<std::size_t>(terminator - field.begin()));
    return true;
}

}  // namespace

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
    if (tag != kAddTag && tag != kModifyTag)
        return Fail(EntryProblem::kUnknownTag);
    const EntryKind kind = tag == kAddTag ? EntryKind::kAdd : EntryKind::kModify;
    kind_ = kind;

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

    std::string_view name;
    EntryProblem nameProblem = EntryProblem::kNone;
    if (!NameOfField(nameField, &name, &nameProblem))
        return Fail(nameProblem);
    if (!IsSafeEntryName(name))
        return Fail(EntryProblem::kUnsafeName);

    if (kind == EntryKind::kModify) {
        if (finalSize < 0)
            return Fail(EntryProblem::kNegativeFinalSize);
        if (!DiffRecordsValid(data))
            return Fail(EntryProblem::kBadDiffRecords);
    }
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
