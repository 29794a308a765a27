// patchtool: the publisher's tool for patch packages. See commands.h.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "progress.h"

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
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
