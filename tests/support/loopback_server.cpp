#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testing_support {
namespace {

constexpr int kPollSliceMs = 20;

// A TCP socket bound to 127.0.0.1 on a port the system picks.
int BindLoopback(std::uint16_t* port) {
    const int descriptor = socket(AF_INET, SOCK_STREAM, 0);
    if (descriptor < 0)
        throw std::runtime_error("cannot create a socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(descriptor);
        throw std::runtime_error("cannot bind to 127.0.0.1");
    }
    *port = ntohs(address.sin_port);
    return descriptor;
}

int ListenLoopback(int backlog, std::uint16_t* port) {
    const int descriptor = BindLoopback(port);
    if (listen(descriptor, backlog) != 0) {
        close(descriptor);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    return descriptor;
}

void ResetAndClose(int descriptor) {
    linger abortive{1, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(descriptor);
}

// Unread bytes at close turn the peer's end-of-stream into a reset, so an
// orderly close reads them away first.
void DrainAndClose(int descriptor) {
    char scratch[4096];
    while (recv(descriptor, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
    }
    close(descriptor);
}

}  // namespace

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

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    close(listener_);
}

std::string LoopbackServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string LoopbackServer::ReceivedRequest() {
    if (thread_.joinable())
        thread_.join();
    return request_;
}

bool LoopbackServer::WaitUntilReadable(int descriptor) {
    pollfd entry{descriptor, POLLIN, 0};
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return false;
        }
        entry.revents = 0;
        const int result = poll(&entry, 1, kPollSliceMs);
        if (result > 0)
            return true;
        if (result < 0 && errno != EINTR)
            return false;
    }
}

bool LoopbackServer::SleepUnlessStopped(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, duration, [this] { return stopping_; });
}

void LoopbackServer::Play() {
    for (const ServerScript& script : scripts_) {
        if (!WaitUntilReadable(listener_))
            return;
        PlayConnection(script);
    }
}

void LoopbackServer::PlayConnection(const ServerScript& script) {
    int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0)
        return;
    for (const ServerScript::Step& step : script.steps()) {
        PlayStep(connection, step);
        if (step.kind == ServerScript::Step::Kind::kClose ||
            step.kind == ServerScript::Step::Kind::kReset) {
            return;
        }
    }
    DrainAndClose(connection);
}

void LoopbackServer::PlayStep(int connection, const ServerScript::Step& step) {
    using Kind = ServerScript::Step::Kind;
    switch (step.kind) {
        case Kind::kReadRequest: {
            const std::size_t start = request_.size();
            char buffer[1024];
            while (request_.find("\r\n\r\n", start) == std::string::npos &&
                   WaitUntilReadable(connection)) {
                const ssize_t count = recv(connection, buffer, sizeof buffer, 0);
                if (count <= 0)
                    break;
                request_.append(buffer, static_cast<std::size_t>(count));
            }
            break;
        }
        case Kind::kSend: {
            std::size_t sent = 0;
            while (sent < step.bytes.size()) {
                const ssize_t count = send(connection, step.bytes.data() + sent,
                                           step.bytes.size() - sent, MSG_NOSIGNAL);
                if (count < 0)
                    break;  // the client has gone; the script goes on
                sent += static_cast<std::size_t>(count);
            }
            break;
        }
        case Kind::kPause:
            SleepUnlessStopped(step.pause);
            break;
        case Kind::kCall:
            step.call();
            break;
        case Kind::kClose:
            DrainAndClose(connection);
            break;
        case Kind::kReset:
            ResetAndClose(connection);
            break;
    }
}

FullBacklogListener::FullBacklogListener() : listener_(ListenLoopback(0, &port_)) {
    // A backlog of 0 still queues one connection; the filler takes that place,
    // and every later connection attempt waits for an accept that never comes.
    filler_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    if (filler_ < 0 ||
        connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (filler_ >= 0)
            close(filler_);
        close(listener_);
        throw std::runtime_error("cannot fill the listener's backlog");
    }
}

FullBacklogListener::~FullBacklogListener() {
    close(filler_);
    close(listener_);
}

std::uint16_t UnusedLoopbackPort() {
    std::uint16_t port = 0;
    close(BindLoopback(&port));
    return port;
}

}  // namespace testing_support
