#include "command_support.h"

void Error(const Console& console, const std::string& message) {
    console.err << "patchtool: " << message << "\n";
}

void Warn(const Console& console, const std::vector<std::string>& warnings) {
    for (const std::string& line : warnings)
        console.err << "patchtool: warning: " << line << "\n";
}

int UsageError(const Console& console, const std::string& command, const std::string& message) {
    Error(console, message);
    console.err << "Try 'patchtool " << command << " --help'.\n";
    return kExitUsage;
}

namespace {

// Each declared operand, and no more.
bool HasItsOperands(const ParsedArguments& parsed, const Command& command, const Console& console,
                    int* status) {
    const std::size_t given = parsed.operands.size();
    const std::size_t wanted = command.operands.size();
    if (given == wanted)
        return true;
    *status = UsageError(console, command.name,
                         given < wanted ? "missing " + command.operands[given].missing
                                        : "unexpected operand '" + parsed.operands[wanted] + "'");
    return false;
}

// Every option the command declares required, in the order it declares them.
bool HasItsRequiredOptions(const ParsedArguments& parsed, const Command& command,
                           const Console& console, int* status) {
    for (const CommandOption& option : command.options) {
        if (option.presence == Presence::kRequired && !parsed.Has(option.spec.longName)) {
            *status = UsageError(console, command.name, "missing --" + option.spec.longName);
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseCommand(const std::vector<std::string>& words, const Command& command,
                  const Console& console, ParsedArguments* parsed, int* status) {
    std::string error;
    if (!ParseArguments(words, OptionSpecsOf(command), parsed, &error)) {
        *status = UsageError(console, command.name, error);
        return false;
    }
    if (parsed->Has("help")) {
        console.out << UsageOf(command);
        *status = kExitSuccess;
        return false;
    }
    return HasItsOperands(*parsed, command, console, status) &&
           HasItsRequiredOptions(*parsed, command, console, status);
}

bool ReadVersionOption(const ParsedArguments& parsed, const char* command, const Console& console,
                       PackedVersion* version, int* status) {
    const std::optional<PackedVersion> given = ParseVersionText(parsed.Value("version"));
    if (!given) {
        *status = UsageError(console, command,
                             "--version '" + parsed.Value("version") +
                                 "' is not MAJOR.MINOR.BUILD (up to 255.255.65535)");
        return false;
    }
    *version = *given;
    return true;
}

bool ReadCodecOption(const ParsedArguments& parsed, const char* command, const Console& console,
                     PackageCodec* codec, int* status) {
    if (!parsed.Has("codec"))
        return true;
    const std::optional<PackageCodec> named = ParseCodecName(parsed.Value("codec"));
    if (!named) {
        *status = UsageError(console, command,
                             "--codec '" + parsed.Value("codec") + "' is " + CodecNameChoices());
        return false;
    }
    *codec = *named;
    return true;
}
