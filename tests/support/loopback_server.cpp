#include "support/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "support/loopback_socket.h"

namespace testing_support {
namespace {

constexpr int kPollSliceMs = 20;

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
        case Kind::kReadRequest:
            ReadRequestInto(connection, request_,
                            [this](int descriptor) { return WaitUntilReadable(descriptor); });
            break;
        case Kind::kSend:
            SendAll(connection, step.bytes);  // a client that has gone ends the send only
            break;
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
