#include "commands.h"

#include <algorithm>
#include <array>

#include "build_config.h"
#include "command.h"
#include "command_support.h"

namespace {

const std::array<const Command*, 8>& Commands() {
    static const std::array<const Command*, 8> commands = {
        &BuildCommand(),  &InspectCommand(), &VerifyCommand(),     &RecordCommand(),
        &KeygenCommand(), &SignCommand(),    &VerifyListCommand(), &PublishCommand()};
    return commands;
}

// The tool's help: the commands with their summaries, from their declarations.
std::string ToolUsage() {
    std::string usage =
        "Usage: patchtool COMMAND [OPTIONS]\n"
        "\n"
        "Builds, inspects and verifies patch packages for the updater, prints the\n"
        "patch-list records that announce them, and signs the patch list.\n"
        "\n"
        "Commands:\n";
    for (const Command* command : Commands())
        usage += "  " + command->name + std::string(13 - command->name.size(), ' ') +
                 command->summary + "\n";
    return usage +
           "\n"
           "Run 'patchtool COMMAND --help' for the options of a command, and\n"
           "'patchtool --version' for the version.\n"
           "Exit status: 0 on success, 1 when the work failed, 2 for a wrong command line.\n";
}

}  // namespace

int RunPatchTool(const std::vector<std::string>& words, const Console& console) {
    if (words.empty()) {
        console.err << ToolUsage();
        return kExitUsage;
    }
    if (words.front() == "--help" || words.front() == "-h" || words.front() == "help") {
        console.out << ToolUsage();
        return kExitSuccess;
    }
    if (words.front() == "--version") {
        console.out << "patchtool " << kProjectVersion << "\n";
        return kExitSuccess;
    }
    const auto command = std::find_if(Commands().begin(), Commands().end(),
                                      [&](const Command* c) { return c->name == words.front(); });
    if (command == Commands().end()) {
        Error(console, "unknown command '" + words.front() + "'");
        console.err << "Try 'patchtool --help'.\n";
        return kExitUsage;
    }
    return (*command)->run({words.begin() + 1, words.end()}, console);
}
