// The callers keep their Windows path forms; both separators reach the
// file system as "/".
#pragma once

#include <algorithm>
#include <string>

namespace platform {

inline std::string NativePath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

}  // namespace platform
