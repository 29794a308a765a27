// A scripted HTTP peer on 127.0.0.1 for transfer tests.
//
// The server listens on 127.0.0.1 on a free port, accepts connections one
// after the other on a thread of its own and plays a script of steps on
// each: read the request, send bytes, pause, run a function, close or reset.
// It records the exact request bytes it read. Pauses end early when the
// server is destroyed, so a test never waits for a script it no longer needs.
//
// Given a certificate (support/test_certificates.h) it plays its scripts
// inside TLS: each connection begins with the server's side of a handshake,
// and the steps read and send application data. What a real TLS server
// cannot be made to do is then scriptable too: close without close_notify,
// redirect to plain HTTP, stall.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_socket.h"
#include "support/test_certificates.h"

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace testing_support {

class ServerScript {
  public:
    struct Step {
        enum class Kind { kReadRequest, kSend, kPause, kCall, kClose, kCloseWithoutNotify, kReset };
        Kind kind;
        std::string bytes;
        std::chrono::milliseconds pause{0};
        std::function<void()> call;
    };

    // Reads until the request's empty line ("\r\n\r\n") and records it.
    ServerScript& ReadRequest();
    ServerScript& Send(std::string bytes);
    ServerScript& Pause(std::chrono::milliseconds duration);
    // Runs `call` on the server thread at this point of the script.
    ServerScript& Call(std::function<void()> call);
    // An orderly close (FIN), under TLS after a close_notify; a script
    // without a last close or reset ends with one.
    ServerScript& Close();
    // Under TLS: an orderly close without close_notify first, as many
    // servers close (and as anyone on the way can cut a connection). Without
    // TLS the same as Close.
    ServerScript& CloseWithoutNotify();
    // An abortive close: the peer sees a reset (RST).
    ServerScript& Reset();

    const std::vector<Step>& steps() const { return steps_; }

  private:
    std::vector<Step> steps_;
};

// "HTTP/1.1 200 OK" with a Content-Length of `body`, followed by `body`.
std::string OkResponse(const std::string& body);

class LoopbackServer {
  public:
    explicit LoopbackServer(ServerScript script);
    // One script per connection, in the order the connections arrive.
    explicit LoopbackServer(std::vector<ServerScript> scripts);
    // The same inside TLS, with `certificate` for the server's side. A
    // connection whose handshake fails (the client refused the certificate,
    // say) skips its script. Throws std::runtime_error when the certificate
    // cannot be loaded.
    LoopbackServer(std::vector<ServerScript> scripts, const CertificateFiles& certificate);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:<port>" (https with TLS) followed by `path`.
    std::string Url(const std::string& path) const;

    // Waits until the script has been played and returns the request bytes
    // read by its ReadRequest steps.
    std::string ReceivedRequest();

  private:
    struct Connection;

    void Play();
    void PlayConnection(const ServerScript& script);
    void PlayStep(Connection& connection, const ServerScript::Step& step);
    void ReadTlsRequest(Connection& connection);
    bool WaitUntilReadable(LoopbackSocket socket);
    bool SleepUnlessStopped(std::chrono::milliseconds duration);

    std::vector<ServerScript> scripts_;
    ssl_ctx_st* tls_ = nullptr;  // null for plain HTTP
    std::uint16_t port_ = 0;     // before listener_, whose initialiser sets it
    LoopbackSocket listener_ = kNoSocket;
    std::string request_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// A listener on 127.0.0.1 whose backlog is full and that never accepts: a
// connection to it never completes (a blackhole).
class FullBacklogListener {
  public:
    FullBacklogListener();
    // The same on [::1] at `port` (0: a port the system picks), beside
    // whatever listens on 127.0.0.1 there.
    struct OnIpv6 {
        std::uint16_t port = 0;
    };
    explicit FullBacklogListener(OnIpv6 where);
    ~FullBacklogListener();
    FullBacklogListener(const FullBacklogListener&) = delete;
    FullBacklogListener& operator=(const FullBacklogListener&) = delete;

    std::uint16_t port() const { return port_; }

  private:
    std::uint16_t port_ = 0;  // before listener_, whose initialiser sets it
    LoopbackSocket listener_ = kNoSocket;
    LoopbackSocket filler_ = kNoSocket;
};

// A port on 127.0.0.1 on which nothing listens (taken from the system and
// given back at once).
std::uint16_t UnusedLoopbackPort();

}  // namespace testing_support
