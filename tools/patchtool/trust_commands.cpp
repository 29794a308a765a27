#include "trust_commands.h"

#include <filesystem>
#include <optional>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "list_check.h"
#include "utf8_path.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKeygenUsage =
    "Usage: patchtool keygen -o KEYFILE\n"
    "\n"
    "Makes an Ed25519 key pair for signing patch lists. The private key goes to\n"
    "KEYFILE (PKCS#8 PEM, readable by its owner only); the public key is printed as\n"
    "the updater's build setting takes it: build the updater with\n"
    "-DUPDATER_TRUSTED_KEYS=PUBLIC_KEY and it takes only lists signed with KEYFILE.\n"
    "\n"
    "  -o, --output KEYFILE  where the private key goes; an existing file is never\n"
    "                        replaced\n"
    "  -h, --help            show this help\n"
    "\n"
    "Keep KEYFILE on the machine that signs, never on the server, in a package or\n"
    "in a log. To change keys, build the updater with the old and the new public\n"
    "key (separated by ';'), sign with the new one, and drop the old key from the\n"
    "build once no installation has the old updater left.\n";

constexpr const char* kSignUsage =
    "Usage: patchtool sign LIST --key KEYFILE\n"
    "\n"
    "Signs the exact bytes of the patch list LIST with the private key in KEYFILE\n"
    "and writes the signature (base64) to LIST.sig, replaced whole. Serve LIST.sig\n"
    "beside LIST: an updater built with trusted keys fetches the list's URL with\n"
    "\".sig\" appended and refuses a list that none of its keys signed. Any change\n"
    "to LIST afterwards needs a new signature.\n"
    "\n"
    "  --key KEYFILE  the private key made by 'patchtool keygen'\n"
    "  -h, --help     show this help\n"
    "\n"
    "Records without a sha256= digest are listed as warnings: an updater built with\n"
    "trusted keys refuses them ('patchtool record --package' writes the digest).\n";

constexpr const char* kVerifyListUsage =
    "Usage: patchtool verify-list LIST --public-key KEY[,KEY...] [--packages DIR]\n"
    "\n"
    "Checks a patch list as an updater built with these keys will: LIST.sig must be\n"
    "a signature over LIST by one of the keys, and every record must carry a\n"
    "sha256= digest. A record's package, when it is at hand (DIR/NAME, NAME the\n"
    "last part of the record's URL), must have that digest. Reports each check on\n"
    "standard output.\n"
    "\n"
    "  --public-key KEY  the public key as 'patchtool keygen' printed it; several,\n"
    "                    separated by ',', as during a key rotation\n"
    "  --packages DIR    where the packages are (default: LIST's folder)\n"
    "  -h, --help        show this help\n"
    "\n"
    "Exit status 0 only when every check passed; a package not at hand fails none.\n";

// Larger than any PEM private key; a key file is never read past it.
constexpr std::size_t kKeyFileCap = 64 * 1024;
// A patch list read to be signed or checked; the updater itself takes no
// more than 16 MiB.
constexpr std::size_t kListFileCap = 16 * 1024 * 1024;

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

}  // namespace

std::optional<Ed25519SigningKey> ReadPrivateKey(const fs::path& path) {
    std::optional<std::string> pem = ReadWholeFile(path, kKeyFileCap).content;
    if (!pem)
        return std::nullopt;
    std::optional<Ed25519SigningKey> key = Ed25519SigningKey::FromPem(*pem);
    WipeSecret(*pem);
    return key;
}

int RunKeygen(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    if (!ParseCommand(words, {{"output", 'o', true}}, "keygen", kKeygenUsage, console, &parsed,
                      &status) ||
        !ExpectOperands(parsed, 0, "keygen", console, &status) ||
        !RequireOptions(parsed, {"output"}, "keygen", console, &status)) {
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

int RunSign(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    if (!ParseCommand(words, {{"key", 0, true}}, "sign", kSignUsage, console, &parsed, &status) ||
        !ExpectOperands(parsed, 1, "sign", console, &status, "the patch list") ||
        !RequireOptions(parsed, {"key"}, "sign", console, &status)) {
        return status;
    }
    const fs::path listPath = PathFromUtf8(parsed.operands.front());
    const std::optional<std::string> list = ReadWholeFile(listPath, kListFileCap).content;
    if (!list) {
        Error(console, "cannot read the patch list '" + Utf8Of(listPath) + "'");
        return kExitFailure;
    }
    const std::optional<Ed25519SigningKey> key = ReadPrivateKey(PathFromUtf8(parsed.Value("key")));
    if (!key) {
        Error(console, "'" + parsed.Value("key") +
                           "' holds no unencrypted Ed25519 private key (patchtool keygen "
                           "makes one)");
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

int RunVerifyList(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    const std::vector<OptionSpec> specs = {{"public-key", 0, true}, {"packages", 0, true}};
    if (!ParseCommand(words, specs, "verify-list", kVerifyListUsage, console, &parsed, &status) ||
        !ExpectOperands(parsed, 1, "verify-list", console, &status, "the patch list") ||
        !RequireOptions(parsed, {"public-key"}, "verify-list", console, &status)) {
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
