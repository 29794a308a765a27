// patchtool verify-list: checks a list's signature and its packages' digests.
#include "command.h"

#include <filesystem>
#include <string>
#include <vector>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "list_check.h"
#include "utf8_path.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

int Run(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    if (!ParseCommand(words, VerifyListCommand(), console, &parsed, &status)) {
        return status;
    }
    const std::optional<std::vector<Ed25519PublicKey>> keys =
        ParseTrustedKeyList(parsed.Value("public-key"));
    if (!keys || keys->empty()) {
        return UsageError(console, "verify-list",
                          "--public-key takes keys as 'patchtool keygen' prints them (44 "
                          "characters of base64), separated by ','");
    }
    const fs::path listPath = PathFromUtf8(parsed.operands.front());
    const std::optional<std::string> list = ReadWholeFile(listPath, kListFileCap).content;
    if (!list) {
        Error(console, "cannot read the patch list '" + Utf8Of(listPath) + "'");
        return kExitFailure;
    }
    const fs::path packages =
        parsed.Has("packages") ? PathFromUtf8(parsed.Value("packages")) : listPath.parent_path();
    const ListCheckReport report = CheckSignedList(*list, listPath, *keys, packages);
    for (const ListCheckLine& line : report.lines)
        console.out << line.text << "\n";
    if (report.failures != 0) {
        Error(console, Utf8Of(listPath) + ": " + std::to_string(report.failures) + " of " +
                           std::to_string(report.lines.size()) + " checks failed");
        return kExitFailure;
    }
    console.out << Utf8Of(listPath) << ": ok: signature good, " << report.digestsMatched << " of "
                << report.lines.size() - 1 << " packages' digests match ("
                << report.packagesNotAtHand << " not at hand)\n";
    return kExitSuccess;
}

}  // namespace

const Command& VerifyListCommand() {
    static const Command command{
        "verify-list",
        "check a list's signature and its packages' digests",
        {{"LIST", "the patch list"}},
        "Checks a patch list as an updater built with these keys will: LIST.sig must be\n"
        "a signature over LIST by one of the keys, and every record must carry a\n"
        "sha256= digest. A record's package, when it is at hand (DIR/NAME, NAME the\n"
        "last part of the record's URL), must have that digest. Reports each check on\n"
        "standard output.\n",
        {{{"public-key", 0, true},
          "KEY",
          "the public key as 'patchtool keygen' printed it; several, "
          "separated by ',', as during a key rotation",
          Presence::kRequired},
         {{"packages", 0, true}, "DIR", "where the packages are (default: LIST's folder)"}},
        "Exit status 0 only when every check passed; a package not at hand fails none.\n",
        Run};
    return command;
}
