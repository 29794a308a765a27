#include "support/nginx_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>

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

std::string Quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

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
    std::ifstream ports(base / "test-servers" / "ports");
    if (!ports) {
        error_ = "no test servers in " + base.string() +
                 " (the test_servers fixture starts them; run the test with ctest)";
        return;
    }
    std::string entry;
    long port = 0;
    while (ports >> entry >> port) {
        if (entry == name && port > 0 && port <= 65535) {
            port_ = static_cast<std::uint16_t>(port);
            prefix_ = relative == "." ? "" : "/" + relative.generic_string();
            ipv6_ = ListensOnIpv6(base / "test-servers" / name);
            return;
        }
    }
    error_ = "the test servers have no " + name + " (tests/support/test-servers starts them)";
}

// The servers belong to the fixture, which stops them after the last test.
NginxServer::~NginxServer() = default;

#else

NginxServer::NginxServer(const fs::path& root, const NginxOptions& options)
    : secure_(options.tls.has_value()) {
    const fs::path log = state_ / "serve.log";
    const std::string command = Settings(options) + ServeScript() + " start " + Quoted(root) + " " +
                                Quoted(state_.path()) + " 2>" + Quoted(log);
    std::FILE* output = popen(command.c_str(), "r");
    if (output == nullptr) {
        error_ = "cannot run " + command;
        return;
    }
    char line[32] = {};
    const bool gotLine = std::fgets(line, sizeof line, output) != nullptr;
    const int status = pclose(output);
    const long port = gotLine ? std::strtol(line, nullptr, 10) : 0;
    if (status != 0 || port <= 0 || port > 65535) {
        try {
            error_ = "nginx did not start: " + ReadFileBytes(log);
        } catch (const std::exception&) {
            error_ = "nginx did not start";
        }
        return;
    }
    port_ = static_cast<std::uint16_t>(port);
    ipv6_ = ListensOnIpv6(state_.path());
}

NginxServer::~NginxServer() {
    if (!running())
        return;
    const std::string command = ServeScript() + " stop " + Quoted(state_.path());
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not stop nginx\n");
}

#endif

std::string NginxServer::UrlOn(const std::string& host, const std::string& path) const {
    return (secure_ ? "https://" : "http://") + host + ":" + std::to_string(port_) + prefix_ + path;
}

}  // namespace testing_support
