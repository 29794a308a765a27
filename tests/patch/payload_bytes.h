// Small helpers the package tests share: package bytes seen as the reader
// sees them, fields written as the format lays them out, and a run of code
// under a cap on the address space.
#pragma once

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

#include "patch/byte_reader.h"

namespace testing_support {

// The address sanitizer reserves far more address space than any cap
// leaves, so tests that run under one skip themselves in its build.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

inline ByteView View(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// A 32-bit little-endian field.
inline std::string Le32(std::uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

#ifndef _WIN32
// Runs `work` in a forked child whose address space is capped at what is
// mapped now plus `headroom` bytes; true when the child ran and `work`
// returned true. Windows has neither fork nor such a cap: the tests that
// need one skip themselves there.
inline bool SucceedsUnderAddressSpaceCap(std::size_t headroom, const std::function<bool()>& work) {
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const auto limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                           static_cast<rlim_t>(headroom);
        const rlimit cap{limit, limit};
        setrlimit(RLIMIT_AS, &cap);
        _exit(work() ? 0 : 1);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

}  // namespace testing_support
