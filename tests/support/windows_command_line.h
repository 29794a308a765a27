// What the test support needs to start a Windows program, shared by the
// support that runs the project's programs and the windowed tests: UTF-8 to
// and from UTF-16, one word of a command line quoted the way the C runtime
// splits it again, and the standard handles the program inherits.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <string>

namespace testing_support {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// In quotes, with a backslash before each quote, and the backslashes before a
// quote or the closing quote doubled.
std::wstring CommandLineWord(const std::wstring& word);

// A started program's standard input (NUL), output and errors, each an
// inheritable handle, closed when this goes. Output and errors go to one
// file when `errors` is empty. `append` keeps what a file holds and adds to
// it; otherwise each file is made anew.
class InheritedHandles {
  public:
    InheritedHandles(const std::wstring& output, const std::wstring& errors, bool append);
    ~InheritedHandles();
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;

    // False when a file could not be opened; GetLastError() tells why.
    bool opened() const;
    // The start-up block that hands the three handles to the program.
    STARTUPINFOW Startup() const;

  private:
    HANDLE input_;
    HANDLE output_;
    HANDLE errors_;
};

}  // namespace testing_support
#endif
