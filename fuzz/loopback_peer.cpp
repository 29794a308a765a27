#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "fuzz_check.h"

namespace {

constexpr int kWaitMs = 2000;

bool Readable(int descriptor) {
    pollfd entry{descriptor, POLLIN, 0};
    return poll(&entry, 1, kWaitMs) > 0;
}

// Reads until the request's empty line, the client's close or a silence.
void ReadRequest(int connection) {
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos && Readable(connection)) {
        const ssize_t count = recv(connection, buffer, sizeof buffer, 0);
        if (count <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(count));
    }
}

// Sends until done or the client has gone.
void SendAll(int connection, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count =
            send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0)
            return;
        sent += static_cast<std::size_t>(count);
    }
}

}  // namespace

LoopbackPeer::LoopbackPeer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    FUZZ_CHECK(listener_ >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    FUZZ_CHECK(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    FUZZ_CHECK(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    FUZZ_CHECK(listen(listener_, 4) == 0);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

LoopbackPeer::~LoopbackPeer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    close(listener_);
}

std::string LoopbackPeer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackPeer::Expect(std::string response, bool reset) {
    {
        std::lock_guard lock(mutex_);
        answer_ = {std::move(response), reset};
        pending_ = true;
    }
    changed_.notify_all();
}

void LoopbackPeer::WaitUntilPlayed() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(2 * kWaitMs), [this] { return !pending_; });
    pending_ = false;  // a connection that never came is not waited for again
}

void LoopbackPeer::Serve() {
    for (;;) {
        Answer answer;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return pending_ || stopping_; });
            if (stopping_)
                return;
            answer = answer_;
        }
        if (Readable(listener_)) {
            const int connection = accept(listener_, nullptr, nullptr);
            if (connection >= 0)
                Play(connection, answer);
        }
        {
            std::lock_guard lock(mutex_);
            pending_ = false;
        }
        changed_.notify_all();
    }
}

void LoopbackPeer::Play(int connection, const Answer& answer) {
    ReadRequest(connection);
    SendAll(connection, answer.response);
    if (answer.reset) {
        linger abortive{1, 0};
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else {
        // Unread bytes at close would turn the client's end-of-stream into a
        // reset.
        char scratch[4096];
        while (recv(connection, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
        }
    }
    close(connection);
}
