// A virtual X display for the windowed tests on Linux: Xvfb on a display
// number it picks itself, stopped when the object goes away. A Windows test
// program under Wine shows its windows on the display Wine was started on.
#pragma once

#include <memory>
#include <string>

#include "child_process.h"
#include "support/temp_dir.h"

namespace testing_support {

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

}  // namespace testing_support
