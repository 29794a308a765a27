#include "command_support.h"

#include <fstream>
#include <system_error>

namespace {

const OptionSpec kHelpOption{"help", 'h', false};

// A folder opens as a stream too, and reads as empty.
bool IsRegularFile(const std::filesystem::path& file) {
    std::error_code error;
    return std::filesystem::is_regular_file(file, error);
}

}  // namespace

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

bool ParseCommand(const std::vector<std::string>& words, std::vector<OptionSpec> specs,
                  const char* command, const char* usage, const Console& console,
                  ParsedArguments* parsed, int* status) {
    specs.push_back(kHelpOption);
    std::string error;
    if (!ParseArguments(words, specs, parsed, &error)) {
        *status = UsageError(console, command, error);
        return false;
    }
    if (parsed->Has("help")) {
        console.out << usage;
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

std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, std::size_t limit,
                                         bool* tooLarge) {
    if (tooLarge != nullptr)
        *tooLarge = false;
    if (!IsRegularFile(file))
        return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes;
    char buffer[64 * 1024];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        if (bytes.size() + static_cast<std::size_t>(in.gcount()) > limit) {
            if (tooLarge != nullptr)
                *tooLarge = true;
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad())
        return std::nullopt;
    return bytes;
}

std::optional<Sha256Digest> FileSha256(const std::filesystem::path& file) {
    if (!IsRegularFile(file))
        return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    Sha256 hash;
    std::string buffer(1 << 20, '\0');
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        hash.Update(buffer.data(), static_cast<std::size_t>(in.gcount()));
    if (in.bad())
        return std::nullopt;
    return hash.Finish();
}
