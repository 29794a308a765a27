// What the tests of whole runs build installations from and compare them by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace testing_support {

// A folder's contents by relative path ("/" separated): each file with its
// bytes, each folder as its name with a "/" appended and no bytes.
using Tree = std::map<std::string, std::string>;

// The tree below `root`, leaving out the entry named `leftOut` (a path
// relative to `root`) and everything below it: by default the download
// folder, whose packages are no part of what an installation holds.
Tree ReadTree(const std::filesystem::path& root, const std::string& leftOut = "download");

// An installation's config/version.cfg naming `version` and `listUrl`, with
// `heading` (a comment or a byte-order mark, say) before its section.
std::string VersionFile(const std::string& version, const std::string& listUrl,
                        const std::string& heading = "");

// `size` bytes that compress badly, the same for the same `seed`.
std::string RandomBytes(std::size_t size, std::uint32_t seed);

// `size` bytes in runs of one value, 64 to 255 bytes long, the same for the
// same `seed`: bzip2 unpacks them about ten times as fast as noise, so files
// of megabytes cost a test little.
std::string ByteRuns(std::size_t size, std::uint32_t seed);

}  // namespace testing_support
