// A virtual X display and the hands and eyes of a person in front of it: the
// end-to-end tests find the updater's windows, read their titles, look at the
// screen and click, all through the same tools a person's desktop uses
// (Xvfb, xdotool, ImageMagick's import).
#pragma once

#include <sys/types.h>

#include <QImage>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "support/temp_dir.h"

namespace testing_support {

// Xvfb on a display number it picks itself; stopped when the object goes away.
class VirtualDisplay {
  public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool running() const { return !name_.empty(); }
    // Why the start failed (Xvfb's own messages), empty when running.
    const std::string& error() const { return error_; }
    // The value for DISPLAY, ":<number>".
    const std::string& name() const { return name_; }
    // What Xvfb has written to its standard error so far.
    std::string log() const;

  private:
    TempDir state_;
    std::unique_ptr<ChildProcess> server_;
    std::string name_;
    std::string error_;
};

// A top-level window on the screen, in screen coordinates.
struct ScreenWindow {
    std::string id;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Looks at and acts on one display.
class Desktop {
  public:
    // The tools run with this process's environment and `changes` (see
    // EnvironmentWith), which name the display and keep the tools out of the
    // real user's folders.
    explicit Desktop(const std::map<std::string, std::string>& changes);

    // The first visible window of process `pid` that has the given size,
    // waited for up to `timeout`.
    std::optional<ScreenWindow> WaitForWindow(pid_t pid, int width, int height,
                                              std::chrono::milliseconds timeout) const;
    // The window's title as the window manager would show it (UTF-8).
    std::string TitleOf(const ScreenWindow& window) const;
    // A left click at (x, y) inside `window`.
    void ClickAt(const ScreenWindow& window, int x, int y) const;
    // The part of the screen at (x, y) inside `window` of the given size, or a
    // null image when the screen could not be captured.
    QImage Capture(const ScreenWindow& window, int x, int y, int width, int height) const;

  private:
    std::optional<std::string> Run(const std::vector<std::string>& argv) const;
    std::optional<ScreenWindow> GeometryOf(const std::string& id) const;

    std::vector<std::string> environment_;
};

}  // namespace testing_support
