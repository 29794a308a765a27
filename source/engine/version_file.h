// The installation's version file, "config/version.cfg" below its root.
//
// The file is an INI file; section "Main" holds "Version" (major.minor.build)
// and "UpdateURL" (the patch list). The updater only reads it: a new version
// reaches it through an entry of a patch package.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "vocabulary/packed_version.h"

inline constexpr const char* kVersionFileName = "config/version.cfg";
inline constexpr std::size_t kSettingBufferSize = 1024;  // values hold at most 1023 bytes

// Used when the version file names no patch list. Set at build time; the
// default points at this machine, so a misconfigured installation never
// sends traffic elsewhere.
extern const char* const kDefaultPatchListUrl;

// The value of `key` in section "Main" of the version file of the
// installation at `installRoot`, cut to 1023 bytes, or `defaultText` when the
// file, the section or the key is missing.
std::string ReadVersionSetting(const std::string& installRoot, const std::string& key,
                               const std::string& defaultText);

// The installed version from "Version" (default "0.0.0"); 0 when the text does
// not hold three numbers.
PackedVersion ReadInstalledVersion(const std::string& installRoot);

// The version the text of a version file gives, read as ReadInstalledVersion
// reads the file; nothing when "Version" is missing or does not hold three
// numbers. The publisher's tool judges release trees with it.
std::optional<PackedVersion> VersionInText(const std::string& text);
