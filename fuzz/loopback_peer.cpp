#include "loopback_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "support/loopback_socket.h"

namespace {

constexpr int kWaitMs = 2000;

bool Readable(int descriptor) {
    pollfd entry{descriptor, POLLIN, 0};
    return poll(&entry, 1, kWaitMs) > 0;
}

}  // namespace

LoopbackPeer::LoopbackPeer() : listener_(testing_support::ListenLoopback(4, &port_)) {
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
    std::string request;
    testing_support::ReadRequestInto(connection, request, Readable);
    testing_support::SendAll(connection, answer.response);
    if (answer.reset)
        testing_support::ResetAndClose(connection);
    else
        testing_support::DrainAndClose(connection);
}
