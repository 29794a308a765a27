// Debian's nginx serving a folder on 127.0.0.1, for integration tests.
//
// Started through scripts/serve-nginx on a free port, with its generated
// config, pid file, logs and temporary files in a temporary folder of its
// own; stopped by its pid when the object goes away.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace testing_support {

class NginxServer {
  public:
    explicit NginxServer(const std::filesystem::path& root);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool running() const { return port_ != 0; }
    // Why the start failed (nginx's own messages), empty when running.
    const std::string& error() const { return error_; }

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string Url(const std::string& path) const;

  private:
    TempDir state_;
    std::uint16_t port_ = 0;
    std::string error_;
};

}  // namespace testing_support
