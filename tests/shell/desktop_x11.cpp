// The desktop on an X display, seen and driven with xdotool and ImageMagick.
#include <sstream>
#include <thread>

#include "child_process.h"
#include "desktop.h"

namespace testing_support {

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
    return ScreenWindow{std::stoull(id), values["X"], values["Y"], values["WIDTH"],
                        values["HEIGHT"]};
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
    std::string title = Run({"xdotool", "getwindowname", std::to_string(window.id)}).value_or("");
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
