// Reading a whole package for the publisher: its header and a line per entry.
//
// Everything here goes through the entry reader and the checking pass the
// updater uses (entry_stream.h), reading the payload as a stream, so a
// package of any size is summarised in bounded memory, and one that reads
// cleanly here is one the updater's own checks accept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/publisher_core.h"

struct EntrySummary {
    EntryKind kind = EntryKind::kAdd;
    std::string name;
    // The file's length once the entry is applied: the final-size field of a
    // modify entry, the content's length for an add entry (whose final-size
    // field is not used), the new size of a delta or check entry; none for a
    // remove entry.
    std::int64_t finalSize = 0;
    // A delta entry's old size: the length of the file it applies to.
    std::uint64_t oldSize = 0;
    // The files a check entry names (the old one, the new one) and the file
    // a remove entry expects (the old one), when the entry names them.
    std::optional<FileIdentity> oldFile;
    std::optional<FileIdentity> newFile;
    std::uint32_t dataLength = 0;
    std::size_t records = 0;  // diff records; 0 for an add entry
};

struct PackageSummary {
    std::uint64_t fileSize = 0;
    PackageHeader header;
    bool headerRead = false;
    std::vector<EntrySummary> entries;  // as far as they could be read
    // Unpacked bytes after the zero tag; the updater never looks at them.
    std::uint64_t bytesAfterEnd = 0;
};

// Reads a package held in memory: the header, the payload unpacked to exactly the
// announced size, and every entry up to the zero tag, each checked as the
// updater checks it. Returns false, with a message in `*error`, at the first
// problem; `*summary` then holds what was read before it.
bool SummarizePackage(ByteView bytes, PackageSummary* summary, std::string* error);

// The same for a package file, read as a stream.
bool SummarizePackageFile(const std::filesystem::path& file, PackageSummary* summary,
                          std::string* error);

// Text for a reason the entry walk stopped.
const char* DescribeEntryProblem(EntryProblem problem);
