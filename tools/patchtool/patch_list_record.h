// One record of the patch list, as the publisher appends it to the list.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/publisher_core.h"

// The placeholder written into the fields the updater reads and ignores (and
// into the digest field of a record without one). It holds no "-r", so in the
// options field it never makes a stop record.
inline constexpr const char* kUnusedFieldPlaceholder = "-";
// The options token of a stop record.
inline constexpr const char* kStopOption = "-r";

// The five tokens of a record, separated by single spaces, without a line
// end: version, URL, options ("-r" for a stop record), the package's digest
// ("sha256=" and 64 hex digits, or a placeholder without one) and a
// placeholder. Returns false, with a message in `*error`, for a URL that the
// updater could not fetch or store: one holding white space (it would split
// the record), one not of the form "http[s]://host[:port]/path", or one whose
// last path component is empty (the package's file name in the download
// folder).
bool FormatPatchListRecord(PackedVersion version, const std::string& url, bool stop,
                           const std::optional<Sha256Digest>& digest, std::string* line,
                           std::string* error);

// Whether two records' package file names would be one file in the download
// folder of some installation: equal, or equal but for the case of ASCII
// letters, as Windows keeps them. The later download would replace the
// earlier package, so a list must not hold two such records.
bool NamesOnePackageFile(std::string_view a, std::string_view b);
