// The installation's version file "./config/version.cfg" and the packed
// 32-bit version number every part of the updater compares.
//
// The file is an INI file; section "Main" holds "Version" (major.minor.build)
// and "UpdateURL" (the patch list). The updater only reads it: a new version
// reaches it through an entry of a patch package.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// major in bits 24-31, minor in bits 16-23, build in bits 0-15; compared as
// an unsigned integer. 0 means "no installed version".
using PackedVersion = std::uint32_t;

inline constexpr const char* kVersionFilePath = "./config/version.cfg";
inline constexpr std::size_t kSettingBufferSize = 1024;  // values hold at most 1023 bytes

// Used when the version file names no patch list. Set at build time; the
// default points at this machine, so a misconfigured installation never
// sends traffic elsewhere.
extern const char* const kDefaultPatchListUrl;

// Packs three numbers, each cut to its low bits (8, 8 and 16); a negative
// number contributes its two's-complement low bits.
constexpr PackedVersion PackVersion(int major, int minor, int build) {
    return (static_cast<PackedVersion>(major) & 0xFFu) << 24 |
           (static_cast<PackedVersion>(minor) & 0xFFu) << 16 |
           (static_cast<PackedVersion>(build) & 0xFFFFu);
}

// The white space of the C library in the "C" locale: what "%d" skips and
// what separates the tokens of a patch list.
constexpr bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads three numbers the way the C format "%d.%d.%d" does: blanks before each
// number skipped, an optional sign, decimal digits, a literal dot between
// them; anything after the third number is ignored. A number too large for an
// int keeps its low 32 bits instead of being undefined. Returns how many
// numbers were converted (0 to 3).
int ScanVersionNumbers(std::string_view text, int numbers[3]);

// "1.2.3" for a packed version.
std::string FormatVersion(PackedVersion version);

// The value of `key` in section "Main" of the version file, cut to 1023
// bytes, or `defaultText` when the file, the section or the key is missing.
std::string ReadVersionSetting(const std::string& key, const std::string& defaultText);

// The installed version from "Version" (default "0.0.0"); 0 when the text does
// not hold three numbers.
PackedVersion ReadInstalledVersion();
