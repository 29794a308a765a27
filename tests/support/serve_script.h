// What nginx and tinyproxy for tests have in common: on POSIX a script
// (scripts/serve-nginx, scripts/serve-proxy) starts each on a free port and
// prints it, and stops it by its pid; on Windows, where a test under Wine
// can start neither, ctest's test_servers fixture has started them and noted
// each one's port (support/test-servers).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace testing_support {

#ifdef _WIN32

// The port of the shared server `name` from the fixture's list in
// `servers`; 0, with `error` saying why, when there is none.
std::uint16_t SharedServerPort(const std::filesystem::path& servers, const std::string& name,
                               std::string& error);

#else

// `text` in single quotes, for a shell command line.
std::string Quoted(const std::string& text);

// Runs `command` (a script's start, which prints the port), its errors kept
// in `log`. The port, or 0 with `error` saying why `what` did not start.
std::uint16_t StartServing(const std::string& command, const std::filesystem::path& log,
                           const std::string& what, std::string& error);

// Runs `command` (a script's stop), and says so when `what` would not stop.
void StopServing(const std::string& command, const std::string& what);

#endif

}  // namespace testing_support
