#include "support/tampering_proxy.h"

#include "support/loopback_socket.h"

namespace testing_support {
namespace {

constexpr int kPollSliceMs = 20;
constexpr int kUpstreamSilenceMs = 5000;

std::string PathOf(const std::string& request) {
    const std::size_t start = request.find(' ');
    const std::size_t end = request.find(' ', start + 1);
    return start == std::string::npos || end == std::string::npos
               ? std::string()
               : request.substr(start + 1, end - start - 1);
}

}  // namespace

TamperingProxy::TamperingProxy(const NginxServer& upstream, Tampering tamper)
    : upstreamPort_(upstream.port()),
      upstreamRootPath_(upstream.rootPath()),
      tamper_(std::move(tamper)),
      listener_(ListenLoopback(8, &port_)) {
    thread_ = std::thread([this] { Serve(); });
}

TamperingProxy::~TamperingProxy() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    thread_.join();
    CloseSocket(listener_);
}

std::string TamperingProxy::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

bool TamperingProxy::Stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
}

void TamperingProxy::Serve() {
    while (!Stopping()) {
        if (!ReadableWithin(listener_, kPollSliceMs))
            continue;
        const LoopbackSocket connection = AcceptConnection(listener_);
        if (connection != kNoSocket)
            Relay(connection);
    }
}

void TamperingProxy::Relay(LoopbackSocket connection) {
    std::string request;
    ReadRequestInto(connection, request, [](LoopbackSocket socket) {
        return ReadableWithin(socket, kUpstreamSilenceMs);
    });
    SendAll(connection, tamper_(PathOf(request), FetchUpstream(request)));
    DrainAndClose(connection);
}

// The whole answer of the real server, read until it closes (the updater
// asks for "Connection: Close").
std::string TamperingProxy::FetchUpstream(const std::string& request) const {
    const LoopbackSocket upstream = ConnectLoopback(upstreamPort_);
    std::string answer;
    if (upstream != kNoSocket) {
        // "GET /p.pak HTTP/1.1": the folder's own path goes before the path.
        std::string forwarded = request;
        if (const std::size_t target = forwarded.find(' '); target != std::string::npos)
            forwarded.insert(target + 1, upstreamRootPath_);
        SendAll(upstream, forwarded);
        char buffer[65536];
        while (ReadableWithin(upstream, kUpstreamSilenceMs)) {
            const long count = ReceiveSome(upstream, buffer, sizeof buffer);
            if (count <= 0)
                break;
            answer.append(buffer, static_cast<std::size_t>(count));
        }
    }
    CloseSocket(upstream);
    return answer;
}

std::string BodyOf(const std::string& answer) {
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

std::string FlipBodyBit(std::string answer, std::size_t offset) {
    const std::size_t end = answer.find("\r\n\r\n");
    if (end != std::string::npos && end + 4 + offset < answer.size())
        answer[end + 4 + offset] = static_cast<char>(answer[end + 4 + offset] ^ 0x10);
    return answer;
}

std::string AnswerWith(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace testing_support
