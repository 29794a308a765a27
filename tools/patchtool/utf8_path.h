// Paths and the UTF-8 text the tool holds them in.
//
// Inside patchtool every name is UTF-8: the command line, the entry names in
// a package, the messages. std::filesystem::path's std::string constructor
// and string() take the narrow encoding of the system instead, which on
// Windows is the ANSI code page: "data/été.txt" would turn into other letters
// (or into '?') on the way in and on the way out. Every conversion between
// the two goes through these, which say UTF-8 explicitly; on POSIX they give
// the same bytes as the plain conversions.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

inline std::filesystem::path PathFromUtf8(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The path as it was given or built, in the system's separators.
inline std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The path with "/" between its parts on every system: the form of entry
// names in a package, and of paths printed for a server's configuration.
inline std::string GenericUtf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}
