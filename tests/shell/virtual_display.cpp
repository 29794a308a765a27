// Xvfb started on a display number of its own choosing.
#include "virtual_display.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {
namespace {

namespace fs = std::filesystem;

constexpr auto kDisplayStartLimit = std::chrono::seconds(10);

// Reads the display number Xvfb writes to `descriptor` once it accepts
// connections; empty when it does not within the limit.
std::string ReadDisplayNumber(int descriptor) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kDisplayStartLimit;
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd wait{descriptor, POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0)
            continue;
        char buffer[16];
        const ssize_t count = read(descriptor, buffer, sizeof buffer);
        if (count <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(count));
    }
    if (text.find('\n') == std::string::npos)
        return {};
    return text.substr(0, text.find('\n'));
}

}  // namespace

VirtualDisplay::VirtualDisplay() {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        error_ = "no pipe for Xvfb";
        return;
    }
    // Out of the way of descriptor 3, where Xvfb is told to write.
    const int writeEnd = fcntl(pipeEnds[1], F_DUPFD_CLOEXEC, 10);
    close(pipeEnds[1]);
    // Without -noreset the server resets whenever its last client leaves,
    // and a client that connects during the reset is turned away: each
    // look with xdotool would race the updater's own connection.
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "3", "-noreset", "-screen", "0",
                                 "1024x768x24", "-nolisten", "tcp"},
        EnvironmentWith({}), state_.path(), state_ / "xvfb.log",
        std::vector<std::pair<int, int>>{{writeEnd, 3}});
    close(writeEnd);
    const std::string number = server_->started() ? ReadDisplayNumber(pipeEnds[0]) : "";
    close(pipeEnds[0]);
    if (!number.empty()) {
        name_ = ":" + number;
        return;
    }
    server_->Stop();
    error_ = "Xvfb did not start: " + log();
}

VirtualDisplay::~VirtualDisplay() = default;

std::string VirtualDisplay::log() const {
    return fs::exists(state_ / "xvfb.log") ? ReadFileBytes(state_ / "xvfb.log") : "";
}

}  // namespace testing_support
