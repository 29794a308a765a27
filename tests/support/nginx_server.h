// Debian's nginx serving a folder on 127.0.0.1, and on [::1] with the same
// port where the machine has an IPv6 loopback, for integration tests.
//
// Started through scripts/serve-nginx on a free port, with its generated
// config, pid file, logs and temporary files in a temporary folder of its
// own; stopped by its pid when the object goes away. With NginxTls it serves
// HTTPS (see support/test_certificates.h for certificates the process
// trusts), and a rate makes a slow server.
//
// A Windows test program runs under Wine and cannot start nginx: there ctest's
// test_servers fixture has one nginx running for each combination of options
// the tests use, each serving UPDATER_TEST_TMP (see support/test-servers).
// NginxServer then stands for the one that matches its options; `root` must
// be below UPDATER_TEST_TMP (a TempDir is), and its URLs lead to `root` through
// the path from there. Options no fixture server has leave it not running,
// with error() naming what is missing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "support/temp_dir.h"
#include "support/test_certificates.h"

namespace testing_support {

struct NginxTls {
    CertificateFiles certificate;
    // nginx's ssl_protocols; empty for "TLSv1.2 TLSv1.3". A list with TLSv1
    // or TLSv1.1 (an outdated server, "TLSv1" for one that offers only TLS
    // 1.0) also lowers the security level that would refuse them.
    std::string protocols;
};

struct NginxOptions {
    std::optional<NginxTls> tls;  // HTTPS instead of HTTP
    // nginx's limit_rate ("16k": 16 KiB a second, sent as one burst each
    // second); empty for no limit.
    std::string rate;
};

class NginxServer {
  public:
    explicit NginxServer(const std::filesystem::path& root, const NginxOptions& options = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool running() const { return port_ != 0; }
    // Why the start failed (nginx's own messages), empty when running.
    const std::string& error() const { return error_; }

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" (https with TLS) followed by `path`.
    std::string Url(const std::string& path) const { return UrlOn("127.0.0.1", path); }
    // The same with another name for this machine, "localhost" or "[::1]"
    // say.
    std::string UrlOn(const std::string& host, const std::string& path) const;
    // Whether it listens on [::1] as well: false on a machine without an IPv6
    // loopback, where tests of IPv6 skip.
    bool onIpv6() const { return ipv6_; }
    // What its URLs put before a path in the served folder: empty when nginx
    // serves that folder itself, the folder's path on a shared server.
    const std::string& rootPath() const { return prefix_; }

  private:
    TempDir state_;
    std::string prefix_;  // the path of the root on a shared server, "" for one of its own
    bool secure_ = false;
    bool ipv6_ = false;
    std::uint16_t port_ = 0;
    std::string error_;
};

}  // namespace testing_support
