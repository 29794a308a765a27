// The peer of the HTTP exchange fuzz target: one listener on 127.0.0.1 for
// the whole fuzzing run, answering one connection per input. (A listener per
// input, as the tests' scripted server makes, runs out of local ports after a
// few tens of thousands of inputs.)
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class LoopbackPeer {
  public:
    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    // "http://127.0.0.1:<port>" followed by `path`.
    std::string Url(const std::string& path) const;

    // The next connection reads the request, is sent `response` and is then
    // closed, or reset when `reset` is set.
    void Expect(std::string response, bool reset);
    // Waits until that connection has been played (at most a few seconds, in
    // case none came).
    void WaitUntilPlayed();

  private:
    struct Answer {
        std::string response;
        bool reset = false;
    };

    void Serve();
    void Play(int connection, const Answer& answer);

    std::uint16_t port_ = 0;  // before listener_, whose initialiser sets it
    int listener_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool pending_ = false;  // an answer waits for its connection
    bool stopping_ = false;
    Answer answer_;
    std::thread thread_;
};
