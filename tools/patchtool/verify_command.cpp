// patchtool verify: checks a package, optionally against the trees it was built from.
#include "command.h"

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "package_summary.h"
#include "tree_verify.h"
#include "utf8_path.h"

namespace {

// What the updater would not refuse, but a publisher should hear about.
std::vector<std::string> PackageWarnings(const PackageSummary& summary) {
    std::vector<std::string> warnings;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < summary.entries.size(); ++i) {
        const std::string& name = summary.entries[i].name;
        // A check entry only guards the entry that changes its file.
        if (summary.entries[i].kind != EntryKind::kCheck && !seen.insert(name).second)
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
        if (entry.name == kPostUpdateScriptName && entry.kind != EntryKind::kCheck &&
            entry.kind != EntryKind::kRemove) {
            return true;
        }
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
                                    parsed.Has("run-script"),
                                    CodecOf(summary.header.codec).deltaEntries};
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

int Run(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    if (!ParseCommand(words, VerifyCommand(), console, &parsed, &status)) {
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

}  // namespace

const Command& VerifyCommand() {
    static const Command command{
        "verify",
        "check a package, optionally against the trees it was built from",
        {{"FILE", "the package file"}},
        "Checks the header, the payload and every entry of a package as the updater will,\n"
        "without touching any installation. With OLD and NEW it also applies the package\n"
        "to a temporary copy of OLD with the updater's own apply code and compares the\n"
        "result with NEW byte for byte (files only in OLD are expected to stay, but for\n"
        "a zstd package, which removes them).\n",
        {{{"version", 0, true},
          "X.Y.Z",
          "the version the patch list announces the package for",
          Presence::kRequired},
         {{"from", 0, true}, "OLD", "the installation the package is applied to (with --to)"},
         {{"to", 0, true}, "NEW", "the installation it must give (with --from)"},
         {{"run-script", 0, false},
          "",
          "let the post-update script Special.bat run inside the "
          "temporary copy, when applying would run one; without it "
          "such a package is not applied"}},
        "",
        Run};
    return command;
}
