// Text for Windows' process calls, shared by the support that starts the
// project's programs and the windowed tests: UTF-8 to and from UTF-16, and
// one word of a command line quoted the way the C runtime splits it again.
#pragma once

#ifdef _WIN32
#include <string>

namespace testing_support {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// In quotes, with a backslash before each quote, and the backslashes before a
// quote or the closing quote doubled.
std::wstring CommandLineWord(const std::wstring& word);

}  // namespace testing_support
#endif
