// The byte-level difference between two versions of one file, as the diff
// records of a modify entry.
//
// The records overwrite in place, so they need no alignment or matching: a
// linear scan finds the byte ranges where the new file differs from the old,
// and each range becomes one record. Two ranges close to each other are
// written as one record when that is smaller than two, counting the record's
// header. The old file is taken as extended with zero bytes up to the new
// length: both a write past the end of a file and the final length change
// fill the gap with zeros, so zero bytes there need not travel.
//
// Applying the records to the old file, or to a file that already holds the
// new content, and then setting the length to the new size gives the new
// file; that is what makes applying a package a second time harmless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/publisher_core.h"

// The largest file a modify entry can describe (its final size is a signed
// 32-bit field).
inline constexpr std::size_t kLargestModifiableFile = INT32_MAX;

// The records that turn `oldBytes` into `newBytes` once the file's length is
// set to newBytes.size(). Returns false, leaving `records` empty, when the new
// file is larger than kLargestModifiableFile.
bool DiffFile(std::string_view oldBytes, std::string_view newBytes,
              std::vector<DiffRecordSource>* records);
