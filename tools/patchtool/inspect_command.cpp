// patchtool inspect: shows a package's header and entries.
#include "command.h"

#include <filesystem>
#include <string>
#include <vector>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "inspect_output.h"
#include "package_summary.h"
#include "utf8_path.h"

namespace {

int Run(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    if (!ParseCommand(words, InspectCommand(), console, &parsed, &status)) {
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

}  // namespace

const Command& InspectCommand() {
    static const Command command{
        "inspect",
        "show a package's header and entries",
        {{"FILE", "the package file"}},
        "Shows the header of a package (codec, version, unpacked size) and every entry:\n"
        "its kind, the file's size once applied, for a delta entry the size of the file\n"
        "it applies to, the data length, the number of diff records and the name.\n",
        {{{"json", 0, false}, "", "print one JSON object instead of a table"}},
        "",
        Run};
    return command;
}
