// A man in the middle on 127.0.0.1 for the attack tests: it takes each
// request the updater sends, fetches the answer from a real server on this
// machine (nginx, say), hands that whole answer to a tampering function and
// sends on what the function returns. What an attacker between the updater
// and its server can do, a test can do here: change a byte, swap one file's
// answer for another's, answer with something else entirely.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "support/loopback_socket.h"
#include "support/nginx_server.h"

namespace testing_support {

// Gets the request's path and the server's whole answer (status line,
// header and body); returns what the updater receives instead.
using Tampering = std::function<std::string(const std::string& path, std::string answer)>;

class TamperingProxy {
  public:
    // Forwards each request to `upstream`, for the same path in the folder
    // it serves.
    TamperingProxy(const NginxServer& upstream, Tampering tamper);
    ~TamperingProxy();
    TamperingProxy(const TamperingProxy&) = delete;
    TamperingProxy& operator=(const TamperingProxy&) = delete;

    // "http://127.0.0.1:<port>" followed by `path`.
    std::string Url(const std::string& path) const;

  private:
    void Serve();
    void Relay(LoopbackSocket connection);
    std::string FetchUpstream(const std::string& request) const;
    bool Stopping();

    std::uint16_t upstreamPort_;
    std::string upstreamRootPath_;
    Tampering tamper_;
    std::uint16_t port_ = 0;  // before listener_, whose initialiser sets it
    LoopbackSocket listener_ = kNoSocket;
    std::mutex mutex_;
    bool stopping_ = false;
    std::thread thread_;
};

// The same answer with one bit of the byte at `offset` of its body flipped.
std::string FlipBodyBit(std::string answer, std::size_t offset);
// The body of a whole answer.
std::string BodyOf(const std::string& answer);
// A 200 answer with `body`, as nginx would give it.
std::string AnswerWith(const std::string& body);

}  // namespace testing_support
