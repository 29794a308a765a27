// patchtool build: makes the package that turns one installation tree into another.
#include "command.h"

#include <filesystem>
#include <string>
#include <vector>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "package_builder.h"
#include "progress.h"
#include "utf8_path.h"

namespace fs = std::filesystem;

namespace {

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
    if (!ReadCodecOption(parsed, "build", console, &request->codec, status))
        return false;
    return true;
}

void PrintBuildSummary(const fs::path& output, const BuildRequest& request,
                       const BuildResult& result, const Console& console) {
    if (result.addEntries + result.modifyEntries + result.deltaEntries + result.removeEntries ==
        0) {
        Warn(console, {"OLD and NEW hold the same files: the package changes nothing"});
    }
    console.err << "patchtool: wrote " << Utf8Of(output) << ": " << result.package.size()
                << " bytes, " << EntryCounts(result, request.codec) << " ("
                << CodecName(request.codec) << ", version " << FormatVersion(request.version)
                << ")\n";
}

int Run(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    BuildRequest request;
    if (!ParseCommand(words, BuildCommand(), console, &parsed, &status) ||
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

}  // namespace

const Command& BuildCommand() {
    static const Command command{
        "build",
        "make the package that turns one installation tree into another",
        {},
        "Compares the installation trees OLD and NEW and writes one package that\n"
        "turns OLD into NEW.\n",
        {{{"from", 0, true}, "OLD", "the installation as it is now", Presence::kRequired},
         {{"to", 0, true}, "NEW", "the installation as it should become", Presence::kRequired},
         {{"version", 0, true},
          "X.Y.Z",
          "the version of NEW; NEW's config/version.cfg must give it",
          Presence::kRequired},
         CodecOption(),
         {{"output", 'o', true},
          "FILE",
          "the package to write; replaced only when the build succeeds",
          Presence::kRequired}},
        "A file new in NEW becomes an add entry; a changed file becomes a modify entry\n"
        "(only the changed bytes) or an add entry, whichever is smaller once compressed;\n"
        "with zstd also a delta entry (applies only to the exact old file).\n"
        "config/version.cfg always comes last. With zstd, a modify or add entry of a\n"
        "changed file is guarded by a check entry (the package refuses an installation\n"
        "that is not OLD), and files, links and folders only in OLD get remove entries;\n"
        "lzo and bzip2 packages cannot remove files, so files only in OLD are listed as\n"
        "warnings. Symbolic links and other files that are not regular are skipped with\n"
        "a warning. The same trees always give the same bytes.\n",
        Run};
    return command;
}
