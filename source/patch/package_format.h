// The patch package format: everything that knows where a field sits.
//
// Applying a package (patch_package.h), writing one (package_writer.h) and the
// publisher's inspection tools all go through this header, so the layout is
// described once, below, and read in one place: the entry reader of
// entry_stream.h, which every reader of a package uses. The reads are bounded
// (byte_reader.h); the payload's codecs are in payload_codec.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "delta/delta_format.h"
#include "patch/byte_reader.h"
#include "patch/payload_codec.h"
#include "vocabulary/packed_version.h"

// ---------------------------------------------------------------------------
// The package layout. All integers are 32-bit little-endian; magics and tags
// are four-byte codes read as little-endian integers.
//
// Header (12 bytes), followed by the payload up to the end of the file (there
// is no compressed-size field):
//
//   offset size  field
//   0      4     magic          "DUBB" (0x42425544): the payload is an LZO1X stream
//                               "ZBBB" (0x4242425A): the payload is a bzip2 stream
//                               "ZSTD" (0x4454535A): the payload is one zstd frame
//   4      4     version        PackedVersion of the package; must equal the
//                               version of the patch-list record that fetched it
//   8      4     unpacked size U  exact length of the payload once unpacked
//   12     ...   payload
//
// The unpacked payload is a sequence of entries laid end to end, without
// alignment, closed by a zero tag (4 zero bytes):
//
//   offset  size  field
//   0       4     tag            "IDOM" (0x4D4F4449) modify entry, "FDDA" (0x41444446)
//                                add entry, "FFID" (0x44494646) delta entry, "KCHC"
//                                (0x4348434B) check entry, "VMER" (0x524D4556) remove
//                                entry, 0 end of the list; anything else is an error
//   4       4     final size     signed; a modify entry's target length after patching
//                                (an add entry carries it unused; a delta entry carries
//                                the new size when it is below 2^31, else 0, and the
//                                reader goes by the 64-bit size in its data instead;
//                                check and remove entries carry 0, which is not read)
//   8       4     name length N  the whole name field, terminator included
//   12      N     name           target path below the installation root, "/" as
//                                separator, no leading "./"; the name is the bytes up
//                                to the first zero byte inside the field, and every
//                                byte after that one must be zero as well (padding):
//                                a field such as "ok.txt\0evil" is refused rather
//                                than cut, so no reader can take a different name
//                                from the field than the one applied; the name
//                                itself is at most 65535 bytes long (padding may
//                                run on), so a reader that streams the payload
//                                holds no more than that of it
//   12+N    4     data length D
//   16+N    D     data           add entry: the file's whole content;
//                                modify entry: diff records;
//                                delta entry: the fields below, then a delta;
//                                check entry: the first 80 bytes of a delta entry's
//                                fields, nothing after them (D is exactly 80);
//                                remove entry: nothing (D = 0), or the size (8 bytes)
//                                and SHA-256 (32 bytes) of the file it expects (D = 40)
//
// A diff record, laid end to end with the next until D bytes are used:
//
//   offset  size  field
//   0       4     seek    signed; added to the current position before writing
//                         (the first record counts from the start of the file)
//   4       4     length L
//   8       L     bytes   written at the position reached; the position then
//                         stands behind them
//
// After the records the target's length is set to the final size, whatever
// the records did, so a modify entry can both cut and lengthen a file.
//
// A delta entry's data (D is at least 100):
//
//   offset size  field
//   0      8     old size       64-bit; the length of the file the delta applies to
//   8      32    old digest     SHA-256 of that file
//   40     8     new size       64-bit; the length of the file it makes
//   48     32    new digest     SHA-256 of that file
//   80     D-80  delta          as delta/delta_format.h lays it out; its own header
//                               repeats both sizes, and they must agree
//
// The target is read whole and judged by size and digest: the new file makes
// the entry a no-op (a run killed after the move converges on the next one),
// the old file is replaced by the delta's output, and anything else refuses
// the whole package before any entry is applied. Delta entries are only
// allowed in a package whose codec allows them (payload_codec.h): one that
// only updaters that know delta entries can unpack.
//
// A check entry changes nothing. It names a file that a later entry of the
// package (a modify or an add entry) overwrites, and the old and the new
// file's size and SHA-256: before any entry is applied, the target must be
// one of the two, as for a delta entry, or the whole package is refused. So a
// package applied to an installation that is not the release it was made
// from fails with nothing changed instead of patching the wrong bytes, and a
// package applied again after a run was killed finds the files it already
// replaced new and goes on. Builders put every check entry before the first
// entry that changes anything: an updater that does not know the tag then
// meets it first and applies nothing.
//
// A remove entry removes the name itself: a file, a symbolic link (never the
// file it leads to) or an empty folder. Nothing there makes it a no-op, so a
// package applied again converges; a folder that still holds anything (a
// file the user put there) is kept, and the entry does not fail. With an
// expected file, the name must be missing or that file (a regular file of
// that size and SHA-256) before any entry is applied, or the package is
// refused. The folder the name is in must lie inside the installation, links
// on the way followed; one that leads outside refuses the package. Check and
// remove entries are allowed where delta entries are.

inline constexpr std::size_t kPackageHeaderSize = 12;
inline constexpr std::uint32_t kModifyTag = 0x4D4F4449;  // "IDOM"
inline constexpr std::uint32_t kAddTag = 0x41444446;     // "FDDA"
inline constexpr std::uint32_t kDeltaTag = 0x44494646;   // "FFID"
inline constexpr std::uint32_t kCheckTag = 0x4348434B;   // "KCHC"
inline constexpr std::uint32_t kRemoveTag = 0x524D4556;  // "VMER"
inline constexpr std::uint32_t kEndTag = 0;
// The longest name an entry may carry, its zero byte not counted. Far beyond
// any path a file system takes, and small enough to hold.
inline constexpr std::size_t kMaxEntryNameLength = 65535;

// The entry that writes the installation's version file. It is the commit
// record of a package: an updater applies it only once every change before
// it is on the disk, so a version file that names the new release never
// stands over files that are not of it. Builders put it last.
inline constexpr std::string_view kVersionFileEntryName = "config/version.cfg";

struct PackageHeader {
    PackageCodec codec = PackageCodec::kLzo1x;
    PackedVersion version = 0;
    std::uint32_t unpackedSize = 0;
};

// Reads the 12 header bytes at the start of `bytes`. Returns false when fewer
// are there or the magic names no codec (the codec table in payload_codec.cpp
// holds the magics).
bool ReadPackageHeader(ByteView bytes, PackageHeader* header);

// ---------------------------------------------------------------------------
// Walking the unpacked payload.

enum class EntryKind { kAdd, kModify, kDelta, kCheck, kRemove };

// True for the kinds only a codec that allows delta entries may carry.
bool NeedsDeltaCodec(EntryKind kind);

// A file as a check or remove entry names it: its length and SHA-256.
inline constexpr std::size_t kFileIdentitySize = 40;
struct FileIdentity {
    std::uint64_t size = 0;
    std::array<std::uint8_t, 32> digest{};
    bool operator==(const FileIdentity&) const = default;
};

// A check entry's data: the old file, then the new one.
inline constexpr std::size_t kCheckFieldsSize = 2 * kFileIdentitySize;
struct CheckFields {
    FileIdentity oldFile;
    FileIdentity newFile;
};

// Reads kFileIdentitySize bytes; false when fewer are there.
bool ReadFileIdentity(ByteView data, FileIdentity* file);

// The fields a delta entry's data opens with.
inline constexpr std::size_t kDeltaPreambleSize = 80;
// The preamble and the delta's own header: what a delta entry's data must
// hold at least, and what is checked before the delta is applied.
inline constexpr std::size_t kDeltaEntryHeadSize = kDeltaPreambleSize + kDeltaHeaderSize;

struct DeltaPreamble {
    std::uint64_t oldSize = 0;
    std::array<std::uint8_t, 32> oldDigest{};
    std::uint64_t newSize = 0;
    std::array<std::uint8_t, 32> newDigest{};
    // The delta's own header, as read: an applier is fed it before the rest.
    std::array<std::uint8_t, kDeltaHeaderSize> deltaHeader{};
};

// Reads the first kDeltaEntryHeadSize bytes of a delta entry's data. False
// when fewer are there, or the delta's header has the wrong magic or sizes
// other than the preamble's.
bool ReadDeltaPreamble(ByteView data, DeltaPreamble* preamble);

// Why a walk stopped early.
enum class EntryProblem {
    kNone,
    kTruncated,          // a field, the name or the data runs past the payload
    kUnknownTag,         // a tag that names no entry kind and is not the end
    kUnterminatedName,   // the name field holds no zero byte
    kBytesAfterName,     // a non-zero byte follows the name's terminating zero byte
    kNameTooLong,        // the name runs longer than kMaxEntryNameLength
    kUnsafeName,         // the name would reach outside the installation root
    kBadDiffRecords,     // a record runs past D or moves before the file's start
    kNegativeFinalSize,  // a modify entry asks for a negative length
    kDeltaNotAllowed,    // a delta entry in a package whose codec does not allow them
    kBadDeltaHead,       // a delta entry's fields are cut short or disagree with its delta
    kKindNotAllowed,     // a check or remove entry in a package whose codec does not allow them
    kBadFileFields,      // a check or remove entry's data is not of a length its fields take
};

// The kind a tag names, or none for the end tag and unknown tags.
std::optional<EntryKind> EntryKindOfTag(std::uint32_t tag);
// The tag that opens an entry of `kind`.
std::uint32_t TagOfEntryKind(EntryKind kind);

// True for a name that stays below the installation root: not empty, not
// absolute ("/" or "\" first), no ":" (a drive or a stream), and no ".."
// component, with both "/" and "\" taken as separators.
bool IsSafeEntryName(std::string_view name);

// Checks a name field as its bytes come, whole or in pieces, and keeps the
// name, which is never longer than kMaxEntryNameLength: the rule the entry
// reader (entry_stream.h) judges a field by.
class NameFieldScanner {
  public:
    void Feed(ByteView piece);
    // Once the whole field was fed: kNone when the field holds a safe name and
    // zero padding only, else kUnterminatedName, kBytesAfterName,
    // kNameTooLong or kUnsafeName, the first of them that applies.
    EntryProblem Finish() const;
    // The name's bytes seen so far, up to the first zero byte.
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    bool terminated_ = false;
    bool bytesAfterName_ = false;
    bool tooLong_ = false;
};

// What reading the next entry gave (entry_stream.h reads them).
enum class WalkStep { kEntry, kEnd, kMalformed };

// ---------------------------------------------------------------------------
// The header of a diff record: the seek and the length before its bytes.
// The package writer and the reader both go through these, so the record's
// layout is written down once.

inline constexpr std::size_t kDiffRecordHeaderSize = 8;

struct DiffRecordHeader {
    std::int32_t seek = 0;
    std::uint32_t length = 0;
};

DiffRecordHeader DecodeDiffRecordHeader(const std::uint8_t (&bytes)[kDiffRecordHeaderSize]);
void EncodeDiffRecordHeader(const DiffRecordHeader& header,
                            std::uint8_t (&bytes)[kDiffRecordHeaderSize]);

enum class RecordStep { kRecord, kEnd, kMalformed };
