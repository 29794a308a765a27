// Debian's tinyproxy as an HTTP forward proxy on 127.0.0.1, for tests of
// downloads through a proxy: absolute-form requests for http URLs, CONNECT
// tunnels (to any port) for https ones, and Basic credentials when asked to
// demand them.
//
// Started through scripts/serve-proxy on a free port, with its generated
// config and log in a temporary folder of its own; stopped by its pid when
// the object goes away, or by the script's own watch when this process ends
// without that. Its log shows each request it carried, so a test can tell
// that a download went through it and how:
//
//   NginxServer nginx(root);
//   ForwardProxy proxy;
//   ... download nginx.Url("/p.bin") with http_proxy=proxy.Url() ...
//   EXPECT_NE(proxy.Log().find("GET " + nginx.Url("/p.bin")), std::string::npos);
//
// A Windows test program runs under Wine and cannot start tinyproxy: there
// ctest's test_servers fixture has two proxies running (see
// support/test-servers), one without credentials and one demanding
// kSharedProxyUser and kSharedProxyPassword, and ForwardProxy stands for the
// one that matches its options; other credentials leave it not running, with
// error() saying so. Its log is then shared with every test that ran before,
// and Log() gives only what came after the object was made.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace testing_support {

// The credentials of the shared proxy that demands them, which tests meant
// to run on Windows too ask for.
inline constexpr const char* kSharedProxyUser = "updater";
inline constexpr const char* kSharedProxyPassword = "proxy-pass.42";

struct ForwardProxyOptions {
    // The Basic credentials the proxy demands; both empty for none. A request
    // without credentials gets 407 with Proxy-Authenticate, one with wrong
    // credentials 401 with WWW-Authenticate (tinyproxy's way, for a CONNECT
    // too). tinyproxy takes only letters, digits, '.', '_' and '-'.
    std::string user;
    std::string password;
};

class ForwardProxy {
  public:
    explicit ForwardProxy(const ForwardProxyOptions& options = {});
    ~ForwardProxy();
    ForwardProxy(const ForwardProxy&) = delete;
    ForwardProxy& operator=(const ForwardProxy&) = delete;

    bool running() const { return port_ != 0; }
    // Why the start failed (tinyproxy's own messages), empty when running.
    const std::string& error() const { return error_; }

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>", as http_proxy and https_proxy take it.
    std::string Url() const;
    // The same with the credentials as userinfo, percent-encoded where a URL
    // needs it: "http://<user>:<password>@127.0.0.1:<port>".
    std::string UrlWithCredentials() const;
    // tinyproxy's log so far, one line for each request it was sent, as
    // "Request (file descriptor N): CONNECT 127.0.0.1:8443 HTTP/1.1" or
    // "...: GET http://127.0.0.1:8080/p.bin HTTP/1.1".
    std::string Log() const;

  private:
    TempDir state_;
    std::filesystem::path log_;
    std::uintmax_t logStart_ = 0;  // where this object's part of a shared log begins
    std::string user_;
    std::string password_;
    std::uint16_t port_ = 0;
    std::string error_;
};

}  // namespace testing_support
