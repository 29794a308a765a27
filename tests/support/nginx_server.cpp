#include "support/nginx_server.h"

#include <algorithm>
#include <fstream>

#include "support/serve_script.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32

// The name support/test-servers gives the server for `options`.
std::string SharedServerName(const NginxOptions& options) {
    if (!options.tls)
        return options.rate.empty() ? "http" : "http-rate-" + options.rate;
    std::string name = "https-" + options.tls->certificate.certificate.stem().string();
    if (!options.tls->protocols.empty()) {
        std::string protocols = options.tls->protocols;
        std::replace(protocols.begin(), protocols.end(), ' ', '-');
        name += "-" + protocols;
    }
    if (!options.rate.empty())
        name += "-rate-" + options.rate;
    return name;
}

#else

std::string ServeScript() {
    return Quoted(UPDATER_SERVE_NGINX_SCRIPT);
}

// The script's settings, as variables on its command line.
std::string Settings(const NginxOptions& options) {
    std::string settings;
    if (!options.rate.empty())
        settings += "SERVE_RATE='" + options.rate + "' ";
    if (options.tls) {
        settings += "SERVE_TLS_CERT=" + Quoted(options.tls->certificate.certificate) +
                    " SERVE_TLS_KEY=" + Quoted(options.tls->certificate.key) + " ";
        if (!options.tls->protocols.empty())
            settings += "SERVE_TLS_PROTOCOLS='" + options.tls->protocols + "' ";
    }
    return settings;
}

#endif

// Whether serve-nginx, which notes the addresses it listens on in the state
// folder, listens on [::1] too.
bool ListensOnIpv6(const fs::path& state) {
    std::ifstream addresses(state / "addresses");
    std::string address;
    while (addresses >> address) {
        if (address == "[::1]")
            return true;
    }
    return false;
}

}  // namespace

#ifdef _WIN32

NginxServer::NginxServer(const fs::path& root, const NginxOptions& options)
    : secure_(options.tls.has_value()) {
    const fs::path base = fs::weakly_canonical(TempBase());
    const fs::path relative = fs::weakly_canonical(root).lexically_relative(base);
    if (relative.empty() || *relative.begin() == "..") {
        error_ =
            root.string() + " is not below " + base.string() + ", which the test servers serve";
        return;
    }
    if (options.tls && fs::weakly_canonical(options.tls->certificate.certificate.parent_path()) !=
                           base / "shared-certs") {
        error_ =
            "the test servers have only the certificates of " + (base / "shared-certs").string();
        return;
    }
    const std::string name = SharedServerName(options);
    port_ = SharedServerPort(base / "test-servers", name, error_);
    if (port_ == 0)
        return;
    prefix_ = relative == "." ? "" : "/" + relative.generic_string();
    ipv6_ = ListensOnIpv6(base / "test-servers" / name);
}

// The servers belong to the fixture, which stops them after the last test.
NginxServer::~NginxServer() = default;

#else

NginxServer::NginxServer(const fs::path& root, const NginxOptions& options)
    : secure_(options.tls.has_value()) {
    const std::string command =
        Settings(options) + ServeScript() + " start " + Quoted(root) + " " + Quoted(state_.path());
    port_ = StartServing(command, state_ / "serve.log", "nginx", error_);
    if (port_ != 0)
        ipv6_ = ListensOnIpv6(state_.path());
}

NginxServer::~NginxServer() {
    if (!running())
        return;
    StopServing(ServeScript() + " stop " + Quoted(state_.path()), "nginx");
}

#endif

std::string NginxServer::UrlOn(const std::string& host, const std::string& path) const {
    return (secure_ ? "https://" : "http://") + host + ":" + std::to_string(port_) + prefix_ + path;
}

}  // namespace testing_support
