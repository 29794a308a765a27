// patchtool record: prints the patch-list record for a package, with its digest.
#include "command.h"

#include <filesystem>
#include <string>
#include <vector>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "list_check.h"
#include "patch_list_record.h"
#include "utf8_path.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// Whether the record for `url` may join the list at `listPath`: none of the
// list's records names its package file already.
bool JoinsListWithItsOwnFile(const std::string& listPath, const std::string& url,
                             const Console& console) {
    const WholeFile list = ReadWholeFile(PathFromUtf8(listPath), kListFileCap);
    if (!list.content) {
        Error(console, list.error);
        return false;
    }
    const std::string name = PackageFileName(url);
    PatchRecordReader records(*list.content);
    PatchRecord record;
    for (int number = 1; records.Next(record); ++number) {
        if (NamesOnePackageFile(PackageFileName(std::string(record.url)), name)) {
            Error(console, "record " + std::to_string(number) + " of '" + listPath +
                               "' names the package file " + name +
                               " already; the later download would replace the earlier package");
            return false;
        }
    }
    return true;
}

int Run(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    if (!ParseCommand(words, RecordCommand(), console, &parsed, &status)) {
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
    if (parsed.Has("list") && !JoinsListWithItsOwnFile(parsed.Value("list"), url, console))
        return kExitFailure;
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

const Command& RecordCommand() {
    static const Command command{
        "record",
        "print the patch-list record for a package, with its digest",
        {},
        "Prints the patch-list record for a package, ready to append to the patch list:\n"
        "the version, the URL, the options, the package's digest and a field the\n"
        "updater ignores.\n",
        {{{"version", 0, true},
          "X.Y.Z",
          "the version the package brings an installation to",
          Presence::kRequired},
         {{"url", 0, true},
          "URL",
          "where the package is served, http[s]://host[:port]/path/NAME",
          Presence::kRequired},
         {{"stop", 0, false},
          "",
          "a stop record: the updater takes no later record in the same "
          "run and leaves the update-needed flag set, so it runs again"},
         {{"list", 0, true},
          "LIST",
          "the patch list the record is for: refused when one of its records names the same "
          "package file (the last part of the URL, compared regardless of case)"},
         {{"package", 0, true},
          "FILE",
          "the package itself: its SHA-256 goes into the record "
          "(sha256=...), and the updater refuses a download that differs. "
          "Without it the digest field is '-'; an updater built with "
          "trusted keys refuses such a record"}},
        "",
        Run};
    return command;
}
