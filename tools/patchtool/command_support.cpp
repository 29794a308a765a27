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
    return true;
}

bool RequireOptions(const ParsedArguments& parsed, const std::vector<std::string>& names,
                    const char* command, const Console& console, int* status) {
    for (const std::string& name : names) {
        if (!parsed.Has(name)) {
            *status = UsageError(console, command, "missing --" + name);
            return false;
        }
    }
    return true;
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

bool ExpectOperands(const ParsedArguments& parsed, std::size_t count, const char* command,
                    const Console& console, int* status, const char* missing) {
    if (parsed.operands.size() == count)
        return true;
    *status = UsageError(console, command,
                         parsed.operands.size() < count
                             ? std::string("missing ") + missing
                             : "unexpected operand '" + parsed.operands[count] + "'");
    return false;
}
