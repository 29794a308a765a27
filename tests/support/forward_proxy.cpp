#include "support/forward_proxy.h"

#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "support/serve_script.h"

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
    port_ = SharedServerPort(servers, name, error_);
    if (port_ == 0)
        return;
    log_ = servers / name / "tinyproxy.log";
    std::error_code ignored;
    const std::uintmax_t size = fs::file_size(log_, ignored);
    logStart_ = size == static_cast<std::uintmax_t>(-1) ? 0 : size;
}

// The proxies belong to the fixture, which stops them after the last test.
ForwardProxy::~ForwardProxy() = default;

#else

ForwardProxy::ForwardProxy(const ForwardProxyOptions& options)
    : user_(options.user), password_(options.password) {
    std::string command = "SERVE_OWNER_PID=" + std::to_string(getpid()) + " " +
                          Quoted(UPDATER_SERVE_PROXY_SCRIPT) + " start " +
                          Quoted(state_.path().string());
    if (!options.user.empty() || !options.password.empty())
        command += " " + Quoted(options.user) + " " + Quoted(options.password);
    port_ = StartServing(command, state_ / "serve.log", "tinyproxy", error_);
    if (port_ != 0)
        log_ = state_ / "tinyproxy.log";
}

ForwardProxy::~ForwardProxy() {
    if (!running())
        return;
    StopServing(Quoted(UPDATER_SERVE_PROXY_SCRIPT) + " stop " + Quoted(state_.path().string()),
                "tinyproxy");
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
