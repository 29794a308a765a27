// Opening a package for reading: its header, and its unpacked payload as a
// stream (payload_stream.h), from a file or from bytes in memory.
//
// The updater, patchtool and the tests open every package here and read its
// entries with the one entry reader (entry_stream.h), so a package in memory
// is read exactly as one on the disk, and a file of any size through the same
// bounded windows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "patch/byte_reader.h"
#include "patch/package_format.h"
#include "patch/payload_stream.h"

enum class PackageOpening {
    kOpened,
    kUnreadable,     // the file cannot be opened or read
    kShortHeader,    // fewer bytes than the header
    kUnknownMagic,   // the magic names no codec
    kOtherVersion,   // the header's version is not the one asked for
    kPayloadFailed,  // the codec cannot start on the payload (or hold it whole)
};

struct OpenedPackage {
    PackageOpening opening = PackageOpening::kUnreadable;
    // The package's whole length, header included; known unless unreadable.
    std::uint64_t size = 0;
    // The first four bytes as read, also when no codec has them as its magic.
    std::uint32_t magic = 0;
    PackageHeader header;  // read when the magic is known
    // The unpacked payload, when opened; a file stays open while it lives.
    std::unique_ptr<PayloadSource> payload;
};

// Opens the package file at `path` (UTF-8). With `version`, a header naming
// another version is refused before the payload is opened.
OpenedPackage OpenPackageFile(const std::string& path,
                              std::optional<PackedVersion> version = std::nullopt);

// The same for a package held in memory; `bytes` must outlive the payload.
OpenedPackage OpenPackageBytes(ByteView bytes);
