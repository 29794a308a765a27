// patchtool sign: signs a patch list, writing LIST.sig beside it.
#include "command.h"

#include <filesystem>
#include <string>
#include <vector>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "list_check.h"
#include "private_key.h"
#include "utf8_path.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

// The records an updater with trusted keys would refuse, for the publisher
// to hear about before the list is published.
std::vector<std::string> DigestWarnings(const std::string& list) {
    std::vector<std::string> warnings;
    PatchRecordReader records(list);
    PatchRecord record;
    for (int number = 1; records.Next(record); ++number) {
        const PackageDigest::Kind kind = ParseDigestField(record.digestField).kind;
        if (kind == PackageDigest::Kind::kSha256)
            continue;
        warnings.push_back(
            "record " + std::to_string(number) + " (" + FormatVersion(record.version) + ") " +
            (kind == PackageDigest::Kind::kNone
                 ? "has no sha256= digest; an updater with trusted keys refuses it"
                 : "has a malformed digest field; an updater that reads digests refuses it"));
    }
    return warnings;
}

int Run(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    if (!ParseCommand(words, SignCommand(), console, &parsed, &status)) {
        return status;
    }
    const fs::path listPath = PathFromUtf8(parsed.operands.front());
    const std::optional<std::string> list = ReadWholeFile(listPath, kListFileCap).content;
    if (!list) {
        Error(console, "cannot read the patch list '" + Utf8Of(listPath) + "'");
        return kExitFailure;
    }
    std::string keyError;
    const std::optional<Ed25519SigningKey> key =
        ReadPrivateKey(PathFromUtf8(parsed.Value("key")), &keyError);
    if (!key) {
        Error(console, keyError);
        return kExitFailure;
    }
    Warn(console, DigestWarnings(*list));
    const std::string signature = SignatureText(key->Sign(*list)) + "\n";
    const std::string signaturePath = Utf8Of(listPath) + ".sig";
    if (!platform::ReplaceFile(signaturePath, [&signature](std::FILE* file) {
            return platform::WriteAllBytes(file, signature.data(), signature.size());
        })) {
        Error(console, "cannot write the signature to '" + signaturePath + "'");
        return kExitFailure;
    }
    console.err << "patchtool: wrote " << signaturePath << ": signed by "
                << PublicKeyText(key->PublicKey()) << "\n";
    return kExitSuccess;
}

}  // namespace

const Command& SignCommand() {
    static const Command command{
        "sign",
        "sign a patch list, writing LIST.sig beside it",
        {{"LIST", "the patch list"}},
        "Signs the exact bytes of the patch list LIST with the private key in KEYFILE\n"
        "and writes the signature (base64) to LIST.sig, replaced whole. Serve LIST.sig\n"
        "beside LIST: an updater built with trusted keys fetches the list's URL with\n"
        "\".sig\" appended and refuses a list that none of its keys signed. Any change\n"
        "to LIST afterwards needs a new signature.\n",
        {{{"key", 0, true},
          "KEYFILE",
          "the private key made by 'patchtool keygen'",
          Presence::kRequired}},
        "Records without a sha256= digest are listed as warnings: an updater built with\n"
        "trusted keys refuses them ('patchtool record --package' writes the digest).\n",
        Run};
    return command;
}
