// The packed 32-bit version number every part of the updater compares, and
// the reading and writing of its text form "major.minor.build".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// major in bits 24-31, minor in bits 16-23, build in bits 0-15; compared as
// an unsigned integer. 0 means "no installed version".
using PackedVersion = std::uint32_t;

// Packs three numbers, each cut to its low bits (8, 8 and 16); a negative
// number contributes its two's-complement low bits.
constexpr PackedVersion PackVersion(int major, int minor, int build) {
    return (static_cast<PackedVersion>(major) & 0xFFu) << 24 |
           (static_cast<PackedVersion>(minor) & 0xFFu) << 16 |
           (static_cast<PackedVersion>(build) & 0xFFFFu);
}

// Reads three numbers the way the C format "%d.%d.%d" does: blanks before each
// number skipped, an optional sign, decimal digits, a literal dot between
// them; anything after the third number is ignored. A number too large for an
// int keeps its low 32 bits instead of being undefined. Returns how many
// numbers were converted (0 to 3).
int ScanVersionNumbers(std::string_view text, int numbers[3]);

// "1.2.3" for a packed version.
std::string FormatVersion(PackedVersion version);
