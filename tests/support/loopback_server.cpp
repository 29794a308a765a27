#include "support/loopback_server.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include <openssl/ssl.h>

#include <stdexcept>

#include "support/loopback_socket.h"
#include "support/temp_dir.h"

namespace testing_support {
namespace {

constexpr int kPollSliceMs = 20;
// A client that stops in the middle of a TLS record or handshake must not
// hold the server's thread, and with it the test, for good.
constexpr int kTlsReceiveLimitSeconds = 5;

SSL_CTX* ServerContext(const CertificateFiles& certificate) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr ||
        SSL_CTX_use_certificate_file(context, Utf8Path(certificate.certificate).c_str(),
                                     SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, Utf8Path(certificate.key).c_str(), SSL_FILETYPE_PEM) !=
            1) {
        SSL_CTX_free(context);
        throw std::runtime_error("cannot load " + certificate.certificate.string());
    }
    return context;
}

}  // namespace

struct LoopbackServer::Connection {
    LoopbackSocket socket = kNoSocket;
    SSL* tls = nullptr;  // null for plain HTTP
};

ServerScript& ServerScript::ReadRequest() {
    steps_.push_back({Step::Kind::kReadRequest, {}, {}, {}});
    return *this;
}

ServerScript& ServerScript::Send(std::string bytes) {
    steps_.push_back({Step::Kind::kSend, std::move(bytes), {}, {}});
    return *this;
}

ServerScript& ServerScript::Pause(std::chrono::milliseconds duration) {
    steps_.push_back({Step::Kind::kPause, {}, duration, {}});
    return *this;
}

ServerScript& ServerScript::Call(std::function<void()> call) {
    steps_.push_back({Step::Kind::kCall, {}, {}, std::move(call)});
    return *this;
}

ServerScript& ServerScript::Close() {
    steps_.push_back({Step::Kind::kClose, {}, {}, {}});
    return *this;
}

ServerScript& ServerScript::CloseWithoutNotify() {
    steps_.push_back({Step::Kind::kCloseWithoutNotify, {}, {}, {}});
    return *this;
}

ServerScript& ServerScript::Reset() {
    steps_.push_back({Step::Kind::kReset, {}, {}, {}});
    return *this;
}

std::string OkResponse(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

LoopbackServer::LoopbackServer(ServerScript script)
    : LoopbackServer(std::vector<ServerScript>{std::move(script)}) {}

LoopbackServer::LoopbackServer(std::vector<ServerScript> scripts)
    : scripts_(std::move(scripts)), listener_(ListenLoopback(1, &port_)) {
    thread_ = std::thread([this] { Play(); });
}

LoopbackServer::LoopbackServer(std::vector<ServerScript> scripts,
                               const CertificateFiles& certificate)
    : scripts_(std::move(scripts)), tls_(ServerContext(certificate)) {
    listener_ = ListenLoopback(1, &port_);
    thread_ = std::thread([this] { Play(); });
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    CloseSocket(listener_);
    SSL_CTX_free(tls_);
}

std::string LoopbackServer::Url(const std::string& path) const {
    return (tls_ != nullptr ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) +
           path;
}

std::string LoopbackServer::ReceivedRequest() {
    if (thread_.joinable())
        thread_.join();
    return request_;
}

bool LoopbackServer::WaitUntilReadable(LoopbackSocket socket) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return false;
        }
        if (ReadableWithin(socket, kPollSliceMs))
            return true;
    }
}

bool LoopbackServer::SleepUnlessStopped(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, duration, [this] { return stopping_; });
}

void LoopbackServer::Play() {
#ifndef _WIN32
    // OpenSSL writes to a TLS connection with write(), which raises SIGPIPE
    // when the client has gone; blocked on this thread it only fails the
    // write, and the test's own threads keep the default action. Windows
    // Sockets have no such signal.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
    for (const ServerScript& script : scripts_) {
        if (!WaitUntilReadable(listener_))
            return;
        PlayConnection(script);
    }
}

void LoopbackServer::PlayConnection(const ServerScript& script) {
    Connection connection{AcceptConnection(listener_)};
    if (connection.socket == kNoSocket)
        return;
    if (tls_ != nullptr) {
        LimitReceiveWait(connection.socket, kTlsReceiveLimitSeconds);
        connection.tls = SSL_new(tls_);
        // OpenSSL takes a Windows SOCKET as an int too: handles fit in 32 bits.
        if (connection.tls == nullptr ||
            SSL_set_fd(connection.tls, static_cast<int>(connection.socket)) != 1 ||
            SSL_accept(connection.tls) != 1) {
            SSL_free(connection.tls);
            DrainAndClose(connection.socket);
            return;
        }
    }
    using Kind = ServerScript::Step::Kind;
    for (const ServerScript::Step& step : script.steps()) {
        PlayStep(connection, step);
        if (step.kind == Kind::kClose || step.kind == Kind::kCloseWithoutNotify ||
            step.kind == Kind::kReset) {
            return;
        }
    }
    PlayStep(connection, {Kind::kClose, {}, {}, {}});
}

// SSL_read blocks, so the request's bytes are waited for on the socket, and
// only when OpenSSL holds none already decrypted.
void LoopbackServer::ReadTlsRequest(Connection& connection) {
    const std::size_t start = request_.size();
    char buffer[1024];
    while (request_.find("\r\n\r\n", start) == std::string::npos) {
        if (SSL_pending(connection.tls) == 0 && !WaitUntilReadable(connection.socket))
            return;
        const int count = SSL_read(connection.tls, buffer, sizeof buffer);
        if (count <= 0)
            return;
        request_.append(buffer, static_cast<std::size_t>(count));
    }
}

void LoopbackServer::PlayStep(Connection& connection, const ServerScript::Step& step) {
    using Kind = ServerScript::Step::Kind;
    switch (step.kind) {
        case Kind::kReadRequest:
            if (connection.tls != nullptr) {
                ReadTlsRequest(connection);
                break;
            }
            ReadRequestInto(connection.socket, request_,
                            [this](LoopbackSocket socket) { return WaitUntilReadable(socket); });
            break;
        case Kind::kSend:
            // A client that has gone ends the send only.
            if (connection.tls != nullptr) {
                SSL_write(connection.tls, step.bytes.data(), static_cast<int>(step.bytes.size()));
                break;
            }
            SendAll(connection.socket, step.bytes);
            break;
        case Kind::kPause:
            SleepUnlessStopped(step.pause);
            break;
        case Kind::kCall:
            step.call();
            break;
        case Kind::kClose:
            if (connection.tls != nullptr)
                SSL_shutdown(connection.tls);
            [[fallthrough]];
        case Kind::kCloseWithoutNotify:
            SSL_free(connection.tls);
            DrainAndClose(connection.socket);
            break;
        case Kind::kReset:
            SSL_free(connection.tls);
            ResetAndClose(connection.socket);
            break;
    }
}

FullBacklogListener::FullBacklogListener() : listener_(ListenLoopback(0, &port_)) {
    // A backlog of 0 still queues one connection; the filler takes that place,
    // and every later connection attempt waits for an accept that never comes.
    filler_ = ConnectLoopback(port_);
    if (filler_ == kNoSocket) {
        CloseSocket(listener_);
        throw std::runtime_error("cannot fill the listener's backlog");
    }
}

FullBacklogListener::FullBacklogListener(OnIpv6 where)
    : port_(where.port), listener_(ListenIpv6Loopback(0, &port_)) {
    filler_ = ConnectIpv6Loopback(port_);
    if (filler_ == kNoSocket) {
        CloseSocket(listener_);
        throw std::runtime_error("cannot fill the listener's backlog");
    }
}

FullBacklogListener::~FullBacklogListener() {
    CloseSocket(filler_);
    CloseSocket(listener_);
}

std::uint16_t UnusedLoopbackPort() {
    std::uint16_t port = 0;
    CloseSocket(BindLoopback(&port));
    return port;
}

}  // namespace testing_support
