#include "support/serve_script.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>

#include "support/temp_dir.h"

namespace testing_support {

#ifdef _WIN32

std::uint16_t SharedServerPort(const std::filesystem::path& servers, const std::string& name,
                               std::string& error) {
    std::ifstream ports(servers / "ports");
    if (!ports) {
        error = "no test servers in " + servers.string() +
                " (the test_servers fixture starts them; run the test with ctest)";
        return 0;
    }
    std::string entry;
    long port = 0;
    while (ports >> entry >> port) {
        if (entry == name && port > 0 && port <= 65535)
            return static_cast<std::uint16_t>(port);
    }
    error = "the test servers have no " + name + " (tests/support/test-servers starts them)";
    return 0;
}

#else

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

std::uint16_t StartServing(const std::string& command, const std::filesystem::path& log,
                           const std::string& what, std::string& error) {
    const std::string line = command + " 2>" + Quoted(log.string());
    std::FILE* output = popen(line.c_str(), "r");
    if (output == nullptr) {
        error = "cannot run " + line;
        return 0;
    }
    char text[32] = {};
    const bool gotLine = std::fgets(text, sizeof text, output) != nullptr;
    const int status = pclose(output);
    const long port = gotLine ? std::strtol(text, nullptr, 10) : 0;
    if (status == 0 && port > 0 && port <= 65535)
        return static_cast<std::uint16_t>(port);
    try {
        error = what + " did not start: " + ReadFileBytes(log);
    } catch (const std::exception&) {
        error = what + " did not start";
    }
    return 0;
}

void StopServing(const std::string& command, const std::string& what) {
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not stop %s\n", what.c_str());
}

#endif

}  // namespace testing_support
