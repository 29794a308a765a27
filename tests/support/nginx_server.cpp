#include "support/nginx_server.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace testing_support {
namespace {

std::string Quoted(const std::filesystem::path& path) {
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

}  // namespace

NginxServer::NginxServer(const std::filesystem::path& root, const NginxOptions& options)
    : secure_(options.tls.has_value()) {
    const std::filesystem::path log = state_ / "serve.log";
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
}

NginxServer::~NginxServer() {
    if (!running())
        return;
    const std::string command = ServeScript() + " stop " + Quoted(state_.path());
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not stop nginx\n");
}

std::string NginxServer::UrlOn(const std::string& host, const std::string& path) const {
    return (secure_ ? "https://" : "http://") + host + ":" + std::to_string(port_) + path;
}

}  // namespace testing_support
