// The updater speaks UTF-8 everywhere; Windows takes UTF-16 in its wide
// calls, the only ones that reach every name a file system may hold. These
// are the conversions, and the path form every file call here hands to
// Windows.
#pragma once

#include <string>

namespace platform {

// UTF-8 to UTF-16 and back. Text that is not valid in its encoding converts
// to an empty string instead of a look-alike with replacement characters: a
// name that cannot be said exactly must name nothing, not another file.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);

// A path in the form the wide file calls take for any length: "/" and "\"
// both separate, a relative path counts from the working directory, "." and
// ".." are resolved by name and the trailing dots and spaces Windows ignores
// are dropped (as Windows itself does before a file system sees the path),
// and the result carries the "\\?\" prefix that lifts the 260-character
// limit ("\\?\UNC\server\share\..." for a network path). A path that already
// has the prefix is accepted and comes out the same, so what ResolvesInside
// gives back can be passed in again. A device name (CON, NUL, ...) gives its
// "\\.\" device path. Empty when `path` is empty, holds a NUL or is not
// valid UTF-8.
std::wstring NativeWidePath(const std::string& path);

// The same for a path already in UTF-16.
std::wstring NativeWidePath(std::wstring path);

}  // namespace platform
