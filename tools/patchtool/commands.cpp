#include "commands.h"

#include <filesystem>
#include <map>
#include <set>

#include "arguments.h"
#include "build_config.h"
#include "command_support.h"
#include "engine/publisher_core.h"
#include "inspect_output.h"
#include "package_builder.h"
#include "package_summary.h"
#include "patch_list_record.h"
#include "progress.h"
#include "publish_command.h"
#include "tree_verify.h"
#include "trust_commands.h"
#include "utf8_path.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kToolUsage =
    "Usage: patchtool COMMAND [OPTIONS]\n"
    "\n"
    "Builds, inspects and verifies patch packages for the updater, prints the\n"
    "patch-list records that announce them, and signs the patch list.\n"
    "\n"
    "Commands:\n"
    "  build        make the package that turns one installation tree into another\n"
    "  inspect      show a package's header and entries\n"
    "  verify       check a package, optionally against the trees it was built from\n"
    "  record       print the patch-list record for a package, with its digest\n"
    "  keygen       make a signing key pair; print the public key for the build\n"
    "  sign         sign a patch list, writing LIST.sig beside it\n"
    "  verify-list  check a list's signature and its packages' digests\n"
    "  publish      build a site from release trees: packages, signed list, nginx block\n"
    "\n"
    "Run 'patchtool COMMAND --help' for the options of a command, and\n"
    "'patchtool --version' for the version.\n"
    "Exit status: 0 on success, 1 when the work failed, 2 for a wrong command line.\n";

constexpr const char* kBuildUsage =
    "Usage: patchtool build --from OLD --to NEW --version X.Y.Z [--codec lzo|bzip2|zstd]\n"
    "                       -o FILE\n"
    "\n"
    "Compares the installation trees OLD and NEW and writes one package that\n"
    "turns OLD into NEW.\n"
    "\n"
    "  --from OLD         the installation as it is now\n"
    "  --to NEW           the installation as it should become\n"
    "  --version X.Y.Z    the version of NEW; NEW's config/version.cfg must give it\n"
    "  --codec CODEC      payload compression: bzip2 (the default, smaller), lzo\n"
    "                     (faster to unpack) or zstd (smallest, and allows delta\n"
    "                     entries; only updaters that know zstd can apply it)\n"
    "  -o, --output FILE  the package to write; replaced only when the build succeeds\n"
    "  -h, --help         show this help\n"
    "\n"
    "A file new in NEW becomes an add entry; a changed file becomes a modify entry\n"
    "(only the changed bytes) or an add entry, whichever is smaller once compressed;\n"
    "with zstd also a delta entry (applies only to the exact old file).\n"
    "config/version.cfg always comes last. A package cannot remove files: files only\n"
    "in OLD are listed as warnings. Symbolic links and other files that are not\n"
    "regular are skipped with a warning. The same trees always give the same bytes.\n";

constexpr const char* kInspectUsage =
    "Usage: patchtool inspect [--json] FILE\n"
    "\n"
    "Shows the header of a package (codec, version, unpacked size) and every entry:\n"
    "its kind, the file's size once applied, for a delta entry the size of the file\n"
    "it applies to, the data length, the number of diff records and the name.\n"
    "\n"
    "  --json      print one JSON object instead of a table\n"
    "  -h, --help  show this help\n";

constexpr const char* kVerifyUsage =
    "Usage: patchtool verify FILE --version X.Y.Z [--from OLD --to NEW [--run-script]]\n"
    "\n"
    "Checks the header, the payload and every entry of a package as the updater will,\n"
    "without touching any installation. With OLD and NEW it also applies the package\n"
    "to a temporary copy of OLD with the updater's own apply code and compares the\n"
    "result with NEW byte for byte (files only in OLD are expected to stay).\n"
    "\n"
    "  --version X.Y.Z  the version the patch list announces the package for\n"
    "  --from OLD       the installation the package is applied to\n"
    "  --to NEW         the installation it must give\n"
    "  --run-script     let the post-update script Special.bat run inside the\n"
    "                   temporary copy, when applying would run one; without it\n"
    "                   such a package is not applied\n"
    "  -h, --help       show this help\n";

constexpr const char* kRecordUsage =
    "Usage: patchtool record --version X.Y.Z --url URL [--stop] [--package FILE]\n"
    "\n"
    "Prints the patch-list record for a package, ready to append to the patch list:\n"
    "the version, the URL, the options, the package's digest and a field the\n"
    "updater ignores.\n"
    "\n"
    "  --version X.Y.Z  the version the package brings an installation to\n"
    "  --url URL        where the package is served, http[s]://host[:port]/path/NAME\n"
    "  --stop           a stop record: the updater takes no later record in the same\n"
    "                   run and leaves the update-needed flag set, so it runs again\n"
    "  --package FILE   the package itself: its SHA-256 goes into the record\n"
    "                   (sha256=...), and the updater refuses a download that differs.\n"
    "                   Without it the digest field is '-'; an updater built with\n"
    "                   trusted keys refuses such a record\n"
    "  -h, --help       show this help\n";

// Replaced whole or not at all (SavePackage), so that a failed write never
// leaves a half package under the name a publisher would upload.
bool WritePackageFile(const fs::path& target, const std::string& package, std::string* error) {
    if (SavePackage(Utf8Of(target), package))
        return true;
    *error = "cannot write the package to '" + Utf8Of(target) + "'";
    return false;
}

// The build request of a parsed command line; false, with the exit status,
// when a value is wrong.
bool ReadBuildRequest(const ParsedArguments& parsed, const Console& console, BuildRequest* request,
                      int* status) {
    request->oldRoot = PathFromUtf8(parsed.Value("from"));
    request->newRoot = PathFromUtf8(parsed.Value("to"));
    if (!ReadVersionOption(parsed, "build", console, &request->version, status))
        return false;
    if (parsed.Has("codec")) {
        const std::optional<PackageCodec> codec = ParseCodecName(parsed.Value("codec"));
        if (!codec) {
            *status =
                UsageError(console, "build",
                           "--codec '" + parsed.Value("codec") + "' is " + CodecNameChoices());
            return false;
        }
        request->codec = *codec;
    }
    return true;
}

void PrintBuildSummary(const fs::path& output, const BuildRequest& request,
                       const BuildResult& result, const Console& console) {
    if (result.addEntries + result.modifyEntries + result.deltaEntries == 0) {
        Warn(console, {"OLD and NEW hold the same files: the package changes nothing"});
    }
    console.err << "patchtool: wrote " << Utf8Of(output) << ": " << result.package.size()
                << " bytes, " << result.addEntries << " add, " << result.modifyEntries
                << " modify and " << result.deltaEntries << " delta entries, "
                << result.unchangedFiles << " files unchanged (" << CodecName(request.codec)
                << ", version " << FormatVersion(request.version) << ")\n";
}

int RunBuild(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    const std::vector<OptionSpec> specs = {{"from", 0, true},
                                           {"to", 0, true},
                                           {"version", 0, true},
                                           {"codec", 0, true},
                                           {"output", 'o', true}};
    BuildRequest request;
    if (!ParseCommand(words, specs, "build", kBuildUsage, console, &parsed, &status) ||
        !ExpectOperands(parsed, 0, "build", console, &status) ||
        !RequireOptions(parsed, {"from", "to", "version", "output"}, "build", console, &status) ||
        !ReadBuildRequest(parsed, console, &request, &status)) {
        return status;
    }

    BuildResult result;
    std::string error;
    bool built = false;
    {
        ProgressLine progress(console.err, console.showProgress);
        built =
            BuildPackageFromTrees(request, &result, &error,
                                  [&](std::string_view stage, std::size_t done, std::size_t total) {
                                      progress.Show(stage, done, total);
                                  });
    }
    Warn(console, result.warnings);
    const fs::path output = PathFromUtf8(parsed.Value("output"));
    if (!built || !WritePackageFile(output, result.package, &error)) {
        Error(console, error);
        return kExitFailure;
    }
    PrintBuildSummary(output, request, result, console);
    return kExitSuccess;
}

int RunInspect(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    if (!ParseCommand(words, {{"json", 0, false}}, "inspect", kInspectUsage, console, &parsed,
                      &status) ||
        !ExpectOperands(parsed, 1, "inspect", console, &status)) {
        return status;
    }
    const std::string& file = parsed.operands.front();
    PackageSummary summary;
    std::string error;
    const bool whole = SummarizePackageFile(PathFromUtf8(file), &summary, &error);
    // A damaged package still shows what could be read before the damage.
    if (summary.headerRead) {
        if (parsed.Has("json")) {
            PrintSummaryJson(file, summary, console.out);
        } else {
            PrintSummaryTable(file, summary, console.out);
        }
    }
    if (!whole) {
        Error(console, file + ": " + error);
        return kExitFailure;
    }
    return kExitSuccess;
}

// What the updater would not refuse, but a publisher should hear about.
std::vector<std::string> PackageWarnings(const PackageSummary& summary) {
    std::vector<std::string> warnings;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < summary.entries.size(); ++i) {
        const std::string& name = summary.entries[i].name;
        if (!seen.insert(name).second)
            warnings.push_back("more than one entry for " + name);
        if (name == kVersionFileEntryName && i + 1 != summary.entries.size()) {
            warnings.push_back(name +
                               " is not the last entry: a run cut short while applying would "
                               "not apply the rest again");
        }
    }
    if (summary.bytesAfterEnd != 0) {
        warnings.push_back(std::to_string(summary.bytesAfterEnd) +
                           " unpacked bytes after the end of the entry list");
    }
    return warnings;
}

bool DeliversScript(const PackageSummary& summary) {
    for (const EntrySummary& entry : summary.entries) {
        if (entry.name == kPostUpdateScriptName)
            return true;
    }
    return false;
}

// Applies the package to a copy of --from and compares with --to; reports
// every difference. True when the result is NEW.
bool VerifyTrees(const ParsedArguments& parsed, const std::string& file, PackedVersion version,
                 const PackageSummary& summary, const Console& console) {
    const TreeVerifyRequest request{PathFromUtf8(file),
                                    version,
                                    PathFromUtf8(parsed.Value("from")),
                                    PathFromUtf8(parsed.Value("to")),
                                    DeliversScript(summary),
                                    parsed.Has("run-script")};
    TreeVerifyResult result;
    std::string error;
    const bool ran = VerifyAgainstTrees(request, &result, &error);
    Warn(console, result.warnings);
    if (!ran) {
        Error(console, file + ": " + error);
        return false;
    }
    for (const std::string& line : result.differences)
        Error(console, file + ": " + line);
    return result.differences.empty();
}

int RunVerify(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    const std::vector<OptionSpec> specs = {
        {"version", 0, true}, {"from", 0, true}, {"to", 0, true}, {"run-script", 0, false}};
    if (!ParseCommand(words, specs, "verify", kVerifyUsage, console, &parsed, &status) ||
        !ExpectOperands(parsed, 1, "verify", console, &status) ||
        !RequireOptions(parsed, {"version"}, "verify", console, &status)) {
        return status;
    }
    if (parsed.Has("from") != parsed.Has("to")) {
        return UsageError(console, "verify", "--from and --to go together");
    }
    PackedVersion version = 0;
    if (!ReadVersionOption(parsed, "verify", console, &version, &status))
        return status;

    const std::string& file = parsed.operands.front();
    PackageSummary summary;
    std::string error;
    if (!SummarizePackageFile(PathFromUtf8(file), &summary, &error)) {
        Error(console, file + ": " + error);
        return kExitFailure;
    }
    if (summary.header.version != version) {
        Error(console, file + ": the package is for version " +
                           FormatVersion(summary.header.version) + ", not " +
                           FormatVersion(version) + "; the updater would refuse it");
        return kExitFailure;
    }
    Warn(console, PackageWarnings(summary));
    std::string verdict = std::to_string(summary.entries.size()) + " entries for version " +
                          FormatVersion(version) + " (" + CodecName(summary.header.codec) + ")";
    if (parsed.Has("from")) {
        if (!VerifyTrees(parsed, file, version, summary, console))
            return kExitFailure;
        verdict += "; applied to a copy of OLD it gives NEW";
    }
    console.out << file << ": ok: " << verdict << "\n";
    return kExitSuccess;
}

int RunRecord(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    const std::vector<OptionSpec> specs = {
        {"version", 0, true}, {"url", 0, true}, {"stop", 0, false}, {"package", 0, true}};
    if (!ParseCommand(words, specs, "record", kRecordUsage, console, &parsed, &status) ||
        !ExpectOperands(parsed, 0, "record", console, &status) ||
        !RequireOptions(parsed, {"version", "url"}, "record", console, &status)) {
        return status;
    }
    PackedVersion version = 0;
    if (!ReadVersionOption(parsed, "record", console, &version, &status))
        return status;
    const std::string& url = parsed.Value("url");
    std::string line, error;
    // The URL is checked before the package is read: a wrong command line
    // is told as one, whatever the file.
    if (!FormatPatchListRecord(version, url, parsed.Has("stop"), std::nullopt, &line, &error))
        return UsageError(console, "record", error);
    if (parsed.Has("package")) {
        const fs::path package = PathFromUtf8(parsed.Value("package"));
        const std::optional<Sha256Digest> digest = DigestOfFile(Utf8Of(package));
        if (!digest) {
            Error(console, "cannot read the package '" + Utf8Of(package) + "'");
            return kExitFailure;
        }
        if (Utf8Of(package.filename()) != PackageFileName(url)) {
            Warn(console, {"the package is named '" + Utf8Of(package.filename()) +
                           "', the URL's file is '" + PackageFileName(url) + "'"});
        }
        FormatPatchListRecord(version, url, parsed.Has("stop"), digest, &line, &error);
    }
    console.out << line << "\n";
    return kExitSuccess;
}

}  // namespace

int RunPatchTool(const std::vector<std::string>& words, const Console& console) {
    using Command = int (*)(const std::vector<std::string>&, const Console&);
    static const std::map<std::string, Command> commands = {{"build", RunBuild},
                                                            {"inspect", RunInspect},
                                                            {"verify", RunVerify},
                                                            {"record", RunRecord},
                                                            {"keygen", RunKeygen},
                                                            {"sign", RunSign},
                                                            {"verify-list", RunVerifyList},
                                                            {"publish", RunPublish}};
    if (words.empty()) {
        console.err << kToolUsage;
        return kExitUsage;
    }
    if (words.front() == "--help" || words.front() == "-h" || words.front() == "help") {
        console.out << kToolUsage;
        return kExitSuccess;
    }
    if (words.front() == "--version") {
        console.out << "patchtool " << kProjectVersion << "\n";
        return kExitSuccess;
    }
    const auto command = commands.find(words.front());
    if (command == commands.end()) {
        Error(console, "unknown command '" + words.front() + "'");
        console.err << "Try 'patchtool --help'.\n";
        return kExitUsage;
    }
    return command->second({words.begin() + 1, words.end()}, console);
}
