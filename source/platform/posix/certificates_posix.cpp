#include "platform/platform.h"

namespace platform {

// OpenSSL's default locations are the system's own store here.
std::vector<std::string> SystemRootCertificates() {
    return {};
}

}  // namespace platform
