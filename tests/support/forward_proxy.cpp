#include "support/forward_proxy.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <utility>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace testing_support {
namespace {

namespace fs = std::filesystem;

// `text` with every byte but RFC 3986's unreserved ones percent-encoded, as
// a URL's userinfo needs.
std::string PercentEncoded(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0xF];
        }
    }
    return encoded;
}

#ifndef _WIN32

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

#endif

}  // namespace

#ifdef _WIN32

ForwardProxy::ForwardProxy(const ForwardProxyOptions& options)
    : user_(options.user), password_(options.password) {
    const bool credentials = !options.user.empty() || !options.password.empty();
    if (credentials &&
        (options.user != kSharedProxyUser || options.password != kSharedProxyPassword)) {
        error_ = "the shared proxy demands only kSharedProxyUser and kSharedProxyPassword";
        return;
    }
    const std::string name = credentials ? "proxy-basic" : "proxy";
    const fs::path servers = fs::weakly_canonical(TempBase()) / "test-servers";
    std::ifstream ports(servers / "ports");
    if (!ports) {
        error_ = "no test servers in " + servers.string() +
                 " (the test_servers fixture starts them; run the test with ctest)";
        return;
    }
    std::string entry;
    long port = 0;
    while (ports >> entry >> port) {
        if (entry == name && port > 0 && port <= 65535) {
            port_ = static_cast<std::uint16_t>(port);
            log_ = servers / name / "tinyproxy.log";
            std::error_code ignored;
            const std::uintmax_t size = fs::file_size(log_, ignored);
            logStart_ = size == static_cast<std::uintmax_t>(-1) ? 0 : size;
            return;
        }
    }
    error_ = "the test servers have no " + name + " (tests/support/test-servers starts them)";
}

// The proxies belong to the fixture, which stops them after the last test.
ForwardProxy::~ForwardProxy() = default;

#else

ForwardProxy::ForwardProxy(const ForwardProxyOptions& options)
    : user_(options.user), password_(options.password) {
    const fs::path output = state_ / "serve.log";
    std::string command = "SERVE_OWNER_PID=" + std::to_string(getpid()) + " " +
                          Quoted(UPDATER_SERVE_PROXY_SCRIPT) + " start " +
                          Quoted(state_.path().string());
    if (!options.user.empty() || !options.password.empty())
        command += " " + Quoted(options.user) + " " + Quoted(options.password);
    command += " 2>" + Quoted(output.string());
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        error_ = "cannot run " + command;
        return;
    }
    char line[32] = {};
    const bool gotLine = std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = pclose(pipe);
    const long port = gotLine ? std::strtol(line, nullptr, 10) : 0;
    if (status != 0 || port <= 0 || port > 65535) {
        try {
            error_ = "tinyproxy did not start: " + ReadFileBytes(output);
        } catch (const std::exception&) {
            error_ = "tinyproxy did not start";
        }
        return;
    }
    port_ = static_cast<std::uint16_t>(port);
    log_ = state_ / "tinyproxy.log";
}

ForwardProxy::~ForwardProxy() {
    if (!running())
        return;
    const std::string command =
        Quoted(UPDATER_SERVE_PROXY_SCRIPT) + " stop " + Quoted(state_.path().string());
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not stop tinyproxy\n");
}

#endif

std::string ForwardProxy::Url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::string ForwardProxy::UrlWithCredentials() const {
    return "http://" + PercentEncoded(user_) + ":" + PercentEncoded(password_) +
           "@127.0.0.1:" + std::to_string(port_);
}

std::string ForwardProxy::Log() const {
    if (log_.empty())
        return {};
    std::ifstream in(log_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(logStart_));
    std::ostringstream text;
    text << in.rdbuf();
    return std::move(text).str();
}

}  // namespace testing_support
