// The command line and the console in UTF-8. main's `argv` comes from the
// ANSI code page, which has no letter for much of what a user may type (a
// folder named "été" under a Greek or Japanese code page turns into '?'), so
// the wide command line is split and converted instead.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/wide_path.h"

namespace platform {
namespace {

// The wide command line split into words by the shell's own rules (the ones
// the C runtime follows for `argv` in all ordinary cases); false when it
// cannot be split or a word is no valid UTF-16 (an unpaired surrogate), which
// has no UTF-8 form to give.
bool WideArguments(std::vector<std::string>* arguments) {
    int count = 0;
    wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words == nullptr)
        return false;
    bool converted = true;
    for (int i = 0; converted && i < count; ++i) {
        const std::wstring word(words[i]);
        std::string utf8 = Narrow(word);
        converted = word.empty() || !utf8.empty();
        arguments->push_back(std::move(utf8));
    }
    LocalFree(words);
    return converted;
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    if (WideArguments(&arguments))
        return arguments;
    // Something is better than nothing: the ANSI words still hold every
    // name that the code page can spell.
    return {argv, argv + argc};
}

void UseUtf8Console() {
    // Fails harmlessly when there is no console (output to a file or pipe),
    // where the bytes arrive unchanged anyway.
    SetConsoleOutputCP(CP_UTF8);
}

}  // namespace platform
