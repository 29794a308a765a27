// The hands and eyes of a person in front of the screen: the end-to-end tests
// find the updater's windows, read their titles, look at the screen and
// click. On Linux through the tools a person's X desktop uses (xdotool,
// ImageMagick's import; desktop_x11.cpp), on Windows through the window API
// (desktop_windows.cpp).
#pragma once

#include <sys/types.h>

#include <QImage>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// The inside of a top-level window (its client area) on the screen.
struct ScreenWindow {
    std::uintptr_t id = 0;  // the X window, or the window's handle on Windows
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Looks at and acts on the screen.
class Desktop {
  public:
    // The X tools run with this process's environment and `changes` (see
    // EnvironmentWith), which name the display and keep the tools out of the
    // real user's folders; the window API of Windows needs none.
    explicit Desktop(const std::map<std::string, std::string>& changes);

    // The first visible window of process `pid` whose inside has the given
    // size, waited for up to `timeout`.
    std::optional<ScreenWindow> WaitForWindow(pid_t pid, int width, int height,
                                              std::chrono::milliseconds timeout) const;
    // The window's title as the desktop shows it (UTF-8).
    std::string TitleOf(const ScreenWindow& window) const;
    // A left click at (x, y) inside `window`.
    void ClickAt(const ScreenWindow& window, int x, int y) const;
    // What the screen shows at (x, y) inside `window` in the given size, or a
    // null image when it could not be captured.
    QImage Capture(const ScreenWindow& window, int x, int y, int width, int height) const;

  private:
#ifndef _WIN32
    std::optional<std::string> Run(const std::vector<std::string>& argv) const;
    std::optional<ScreenWindow> GeometryOf(const std::string& id) const;

    std::vector<std::string> environment_;
#endif
};

}  // namespace testing_support
