// patchtool: the publisher's tool for patch packages. See commands.h.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "engine/publisher_core.h"
#include "progress.h"

int main(int argc, char** argv) {
    // The words in UTF-8, as the rest of the tool takes every name: on
    // Windows `argv` would hold them in the ANSI code page.
    std::vector<std::string> words = platform::CommandLineArguments(argc, argv);
    if (!words.empty())
        words.erase(words.begin());
    platform::UseUtf8Console();
    const Console console{std::cout, std::cerr, ProgressLine::StandardErrorIsTerminal()};
    // The commands report their failures as exit statuses; what still throws
    // (memory exhausted, the working directory gone) must not end in an abort.
    try {
        return RunPatchTool(words, console);
    } catch (const std::exception& failure) {
        std::cerr << "patchtool: " << failure.what() << "\n";
        return kExitFailure;
    }
}
