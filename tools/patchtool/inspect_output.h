// How `patchtool inspect` prints a package: a table for people, JSON for
// programs.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "package_summary.h"

// The header lines, a blank line, and one row per entry.
void PrintSummaryTable(const std::string& fileName, const PackageSummary& summary,
                       std::ostream& out);

// One JSON object: "file", "file_size", "codec", "version", "unpacked_size",
// and "entries", an array of objects with "kind" ("add", "modify" or
// "delta"), "name", "final_size", "data_length" and "records", and for a delta
// entry "old_size" (its "final_size" is the new size).
void PrintSummaryJson(const std::string& fileName, const PackageSummary& summary,
                      std::ostream& out);

// `text` as a JSON string literal. Names are byte strings: valid UTF-8 passes
// as it is, and any other byte is written as \u00XX (its Latin-1 reading), so
// the output is always valid JSON.
std::string JsonString(std::string_view text);
