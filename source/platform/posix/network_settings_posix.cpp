#include <cstdlib>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace platform {

std::optional<std::string> EnvironmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

// POSIX systems keep no proxy setting of their own: the environment's
// variables are the convention.
std::optional<SystemProxy> SystemProxySettings() {
    return std::nullopt;
}

}  // namespace platform
