// Making a delta: the encoded bytes that turn the old file into the new one
// (the layout is in delta_format.h).
//
// The old file's suffixes are sorted once; then, moving through the new file,
// each place looks up its longest match in the old file. A match is not taken
// as it stands but widened in both directions while the bytes beside it still
// mostly agree: code that differs only in the addresses it holds then becomes
// one long copy whose difference bytes are nearly all zero, which the package
// compressor shrinks to almost nothing. What no match covers travels as
// literal bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// Appends the delta that makes `newBytes` from `oldBytes` to `*out`. Returns
// false, with `*out` as it was, when the old file's suffixes could not be
// sorted (memory exhausted). The same two files always give the same bytes.
// Memory: both files, the delta, and 4 bytes per old byte (8 from 2 GiB on).
// Any thread may call it; calls share nothing.
bool BuildDelta(std::span<const std::uint8_t> oldBytes, std::span<const std::uint8_t> newBytes,
                std::string* out);
