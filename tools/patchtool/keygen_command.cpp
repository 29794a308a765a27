// patchtool keygen: makes a signing key pair and prints the public key for the build.
#include "command.h"

#include <filesystem>
#include <string>
#include <vector>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "private_key.h"
#include "utf8_path.h"

namespace fs = std::filesystem;

namespace {

// The private key text is wiped as soon as it is written; the key itself
// lives only in OpenSSL's memory until the process ends. The file and its
// name are on the disk before the public key is printed: a public key that
// is published while its private key is lost to a power cut could never
// sign again.
bool WritePrivateKey(const fs::path& path, const Ed25519SigningKey& key) {
    std::FILE* file = platform::CreatePrivateFile(Utf8Of(path));
    if (file == nullptr)
        return false;
    std::string pem = key.ToPem();
    const bool written =
        platform::WriteAllBytes(file, pem.data(), pem.size()) && platform::SyncFile(file) == 0;
    WipeSecret(pem);
    if (platform::CloseFile(file) != 0 || !written || platform::SyncFolderOf(Utf8Of(path)) != 0) {
        platform::RemoveFile(Utf8Of(path));
        return false;
    }
    return true;
}

int Run(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    if (!ParseCommand(words, KeygenCommand(), console, &parsed, &status)) {
        return status;
    }
    const fs::path output = PathFromUtf8(parsed.Value("output"));
    std::error_code error;
    if (fs::exists(fs::symlink_status(output, error))) {
        Error(console,
              "'" + Utf8Of(output) + "' exists and is not replaced: a key in use must not be lost");
        return kExitFailure;
    }
    const std::optional<Ed25519SigningKey> key = Ed25519SigningKey::Generate();
    if (!key) {
        Error(console, "no key could be made (the system's random source failed)");
        return kExitFailure;
    }
    if (!WritePrivateKey(output, *key)) {
        Error(console, "cannot create the key file '" + Utf8Of(output) + "'");
        return kExitFailure;
    }
    const std::string publicKey = PublicKeyText(key->PublicKey());
    console.out << publicKey << "\n";
    console.err << "patchtool: wrote the private key to " << Utf8Of(output)
                << "; build the updater with -DUPDATER_TRUSTED_KEYS=" << publicKey
                << " to take only lists signed with it\n";
    return kExitSuccess;
}

}  // namespace

const Command& KeygenCommand() {
    static const Command command{
        "keygen",
        "make a signing key pair; print the public key for the build",
        {},
        "Makes an Ed25519 key pair for signing patch lists. The private key goes to\n"
        "KEYFILE (PKCS#8 PEM, readable by its owner only); the public key is printed as\n"
        "the updater's build setting takes it: build the updater with\n"
        "-DUPDATER_TRUSTED_KEYS=PUBLIC_KEY and it takes only lists signed with KEYFILE.\n",
        {{{"output", 'o', true},
          "KEYFILE",
          "where the private key goes; an existing file is never "
          "replaced",
          Presence::kRequired}},
        "Keep KEYFILE on the machine that signs, never on the server, in a package or\n"
        "in a log. To change keys, build the updater with the old and the new public\n"
        "key (separated by ';'), sign with the new one, and drop the old key from the\n"
        "build once no installation has the old updater left.\n",
        Run};
    return command;
}
