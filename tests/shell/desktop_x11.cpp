#include "virtual_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sstream>
#include <thread>

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
    const int logFile = open((state_ / "xvfb.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    // Without -noreset the server resets whenever its last client leaves,
    // and a client that connects during the reset is turned away: each
    // look with xdotool would race the updater's own connection.
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "3", "-noreset", "-screen", "0",
                                 "1024x768x24", "-nolisten", "tcp"},
        EnvironmentWith({}), state_.path(),
        std::vector<std::pair<int, int>>{{writeEnd, 3}, {logFile, 2}});
    close(writeEnd);
    close(logFile);
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

Desktop::Desktop(const std::map<std::string, std::string>& changes)
    : environment_(EnvironmentWith(changes)) {}

std::optional<std::string> Desktop::Run(const std::vector<std::string>& argv) const {
    return RunTool(argv, environment_);
}

std::optional<ScreenWindow> Desktop::GeometryOf(const std::string& id) const {
    const std::optional<std::string> shell = Run({"xdotool", "getwindowgeometry", "--shell", id});
    if (!shell)
        return std::nullopt;
    std::map<std::string, int> values;
    std::istringstream lines(*shell);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = std::atoi(line.c_str() + equals + 1);
    }
    return ScreenWindow{id, values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]};
}

std::optional<ScreenWindow> Desktop::WaitForWindow(pid_t pid, int width, int height,
                                                   std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        // xdotool exits with 1 when nothing matches yet.
        const std::optional<std::string> ids =
            Run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)});
        std::istringstream list(ids.value_or(""));
        std::string id;
        while (list >> id) {
            const std::optional<ScreenWindow> window = GeometryOf(id);
            if (window && window->width == width && window->height == height)
                return window;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

std::string Desktop::TitleOf(const ScreenWindow& window) const {
    std::string title = Run({"xdotool", "getwindowname", window.id}).value_or("");
    if (!title.empty() && title.back() == '\n')
        title.pop_back();
    return title;
}

void Desktop::ClickAt(const ScreenWindow& window, int x, int y) const {
    Run({"xdotool", "mousemove", "--sync", std::to_string(window.x + x),
         std::to_string(window.y + y), "click", "1"});
}

QImage Desktop::Capture(const ScreenWindow& window, int x, int y, int width, int height) const {
    const std::optional<std::string> png = Run({"import", "-window", "root", "png:-"});
    if (!png)
        return {};
    const QImage screen = QImage::fromData(reinterpret_cast<const uchar*>(png->data()),
                                           static_cast<int>(png->size()), "PNG");
    return screen.copy(window.x + x, window.y + y, width, height);
}

}  // namespace testing_support
