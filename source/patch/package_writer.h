// The writing side of the patch package format (layout in package_format.h).
//
// Builds a package from a list of entries and a codec. The output depends
// only on the input: the same entries, version and codec always give the same
// bytes, so a publisher can rebuild a package and compare it.
//
// Names are written as given and not checked here; the applying side refuses
// a name that would leave the installation root (IsSafeEntryName), and a tool
// that builds packages from a tree should refuse such names before it asks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "patch/package_format.h"
#include "vocabulary/packed_version.h"

struct DiffRecordSource {
    std::int32_t seek = 0;  // added to the position the previous record left
    std::string bytes;
};

struct EntrySource {
    EntryKind kind = EntryKind::kAdd;
    std::string name;                       // "/" as separator, no leading "./"
    std::string content;                    // add entries: the whole new file;
                                            // delta entries: the delta (delta_builder.h)
    std::vector<DiffRecordSource> records;  // modify entries
    std::int32_t finalSize = 0;             // modify entries: the length afterwards
    DeltaPreamble preamble;                 // delta and check entries: the two files' sizes
                                            // and digests
    std::optional<FileIdentity> expected;   // remove entries: the file expected, if any

    static EntrySource Add(std::string name, std::string content);
    static EntrySource Modify(std::string name, std::vector<DiffRecordSource> records,
                              std::int32_t finalSize);
    // The delta's own header is taken from `delta`; the preamble's sizes and
    // digests are written as given, so a test can make them disagree.
    static EntrySource Delta(std::string name, const DeltaPreamble& preamble, std::string delta);
    static EntrySource Check(std::string name, const CheckFields& fields);
    static EntrySource Remove(std::string name, std::optional<FileIdentity> expected);
};

// The size and SHA-256 of `bytes`, as check and remove entries name a file.
FileIdentity IdentityOf(std::string_view bytes);

// The delta entry that turns `oldBytes` into `newBytes`: their sizes and
// digests, and the delta BuildDelta makes. False when the delta cannot be
// built (memory exhausted).
bool MakeDeltaEntry(std::string name, std::string_view oldBytes, std::string_view newBytes,
                    EntrySource* entry);

// Lays the entries end to end and closes them with the zero tag: the
// unpacked payload. Returns false when an entry cannot be expressed in the
// format (a name holding a zero byte or longer than kMaxEntryNameLength, a
// length that does not fit 32 bits, a payload of 4 GiB or more). Whether the
// codec allows delta entries is for the caller to mind (BuildPackage does).
bool EncodePayload(const std::vector<EntrySource>& entries, std::string* payload);

// Compresses an unpacked payload with `codec` (payload_codec.h) and puts the
// 12-byte header in front: the package's bytes.
bool PackPayload(PackageCodec codec, PackedVersion version, const std::string& payload,
                 std::string* package);

// EncodePayload followed by PackPayload; false also for delta, check or
// remove entries with a codec that does not allow them.
bool BuildPackage(PackageCodec codec, PackedVersion version,
                  const std::vector<EntrySource>& entries, std::string* package);

// Writes package bytes to `path`, created or replaced whole
// (platform::ReplaceFile): a failed write never leaves a cut package under the
// name a publisher would upload. Returns false when any step fails; `path` is
// then as it was.
bool SavePackage(const std::string& path, const std::string& package);
