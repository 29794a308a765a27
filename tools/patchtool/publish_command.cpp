// patchtool publish: builds a site from release trees: packages, signed list,
// nginx block.
#include "command.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "command_support.h"
#include "engine/publisher_core.h"
#include "package_builder.h"
#include "patch_list_record.h"
#include "private_key.h"
#include "progress.h"
#include "publish_plan.h"
#include "utf8_path.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultListName = "patchlist.cfg";

struct PublishRequest {
    fs::path releases;
    fs::path site;
    SiteAddress address;
    PackageCodec codec = BuildRequest{}.codec;
    std::string listName = kDefaultListName;
};

// One run's work so far: the records in list order, and the packages it put
// in the site, which are taken away again if the run fails before the list
// names them.
struct PublishProgress {
    std::vector<std::string> records;
    std::vector<fs::path> added;
};

bool ReadPublishRequest(const ParsedArguments& parsed, const Console& console,
                        PublishRequest* request, int* status) {
    request->releases = PathFromUtf8(parsed.Value("releases"));
    request->site = PathFromUtf8(parsed.Value("site"));
    std::string error;
    if (!ParseSiteAddress(parsed.Value("base-url"), &request->address, &error)) {
        *status = UsageError(console, "publish", error);
        return false;
    }
    if (!ReadCodecOption(parsed, "publish", console, &request->codec, status))
        return false;
    if (parsed.Has("list"))
        request->listName = parsed.Value("list");
    // The list's URL is the base URL and this name, and its signature's
    // name is this one with ".sig": a plain file name keeps both in the site.
    if (!IsUsablePackageFileName(request->listName)) {
        *status = UsageError(console, "publish",
                             "--list '" + request->listName + "' is no plain file name");
        return false;
    }
    return true;
}

// A package the site already holds is kept only when it is one, for the
// version its name gives; anything else there would be served and refused.
bool CheckKeptPackage(const fs::path& file, PackedVersion version, PackageCodec* codec,
                      std::string* error) {
    std::ifstream in(file, std::ios::binary);
    std::uint8_t bytes[kPackageHeaderSize] = {};
    in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    PackageHeader header;
    if (!in || !fs::is_regular_file(file) || !ReadPackageHeader(ByteView(bytes), &header)) {
        *error = Utf8Of(file) + " is in the site but is no package: remove it to have it built";
        return false;
    }
    if (header.version != version) {
        *error = Utf8Of(file) + " is in the site but is a package for version " +
                 FormatVersion(header.version) + ": remove it to have it built";
        return false;
    }
    *codec = header.codec;
    return true;
}

// Builds the package from `from` to `to` into the site; its digest goes to
// `*digest`.
bool BuildIntoSite(const Release& from, const Release& to, const fs::path& target,
                   const PublishRequest& request, const Console& console, Sha256Digest* digest,
                   std::string* error) {
    const BuildRequest build{from.tree, to.tree, to.version, request.codec};
    BuildResult result;
    bool built = false;
    {
        const std::string name = Utf8Of(target.filename());
        ProgressLine progress(console.err, console.showProgress);
        built =
            BuildPackageFromTrees(build, &result, error,
                                  [&](std::string_view stage, std::size_t done, std::size_t total) {
                                      progress.Show(name + ": " + std::string(stage), done, total);
                                  });
    }
    Warn(console, result.warnings);
    if (!built)
        return false;
    if (!SavePackage(Utf8Of(target), result.package)) {
        *error = "cannot write the package to '" + Utf8Of(target) + "'";
        return false;
    }
    *digest = Sha256Of(result.package);
    console.err << "patchtool: wrote " << Utf8Of(target) << ": " << result.package.size()
                << " bytes, " << EntryCounts(result, request.codec) << " ("
                << CodecName(request.codec) << ", " << FormatVersion(from.version) << " to "
                << FormatVersion(to.version) << ")\n";
    return true;
}

// Makes sure the site holds the package that brings `from` to `to`, and
// adds its record.
bool PublishStep(const Release& from, const Release& to, const PublishRequest& request,
                 const Console& console, PublishProgress* progress, std::string* error) {
    const std::string name = PackageNameFor(to.version);
    const fs::path target = request.site / PathFromUtf8(name);
    std::optional<Sha256Digest> digest;
    std::error_code failure;
    if (fs::exists(fs::symlink_status(target, failure))) {
        PackageCodec codec{};
        if (!CheckKeptPackage(target, to.version, &codec, error))
            return false;
        digest = DigestOfFile(Utf8Of(target));
        if (!digest) {
            *error = "cannot read the package '" + Utf8Of(target) + "'";
            return false;
        }
        console.err << "patchtool: reused " << Utf8Of(target) << ", already in the site ("
                    << CodecName(codec) << ", version " << FormatVersion(to.version) << ")\n";
    } else {
        digest.emplace();
        if (!BuildIntoSite(from, to, target, request, console, &*digest, error))
            return false;
        progress->added.push_back(target);
    }
    std::string record;
    if (!FormatPatchListRecord(to.version, SiteFileUrl(request.address, name), false, digest,
                               &record, error)) {
        return false;
    }
    progress->records.push_back(record);
    return true;
}

// Stages `bytes` beside `target` in `batch`, synced at once: nothing is moved
// while any staged file may still fail to reach the disk.
bool StageSynced(platform::ReplacementBatch& batch, const std::string& target,
                 const std::string& bytes) {
    return batch.Stage(target, [&bytes](std::FILE* file) {
        return platform::WriteAllBytes(file, bytes.data(), bytes.size()) &&
               platform::SyncFile(file) == 0;
    });
}

// Puts the list and, when there is one, its signature in place. Both are
// written beside their final names and synced first, so a full disk or a
// failed write changes nothing served. The list moves last, since it is what
// installations read: every package it names was synced with its folder
// when it was built, and the signature's move is on the disk before the
// list's, so after a power cut the list never names a package or a signature
// the disk lost. An updater whose two fetches fall between the two moves
// meets the old list with the new signature; one that checks signatures
// refuses that pair and tries again on its next run. No order gives a
// matching pair at every moment, but in no case is a list taken that the key
// did not sign. Once the list is in place it names this run's packages, so
// they are no longer taken away on failure.
bool PlaceListAndSignature(const fs::path& listPath, const std::string& list,
                           const std::optional<std::string>& signature, PublishProgress* progress,
                           std::string* error) {
    const std::string listTarget = Utf8Of(listPath);
    const std::string signatureTarget = listTarget + ".sig";
    // One batch each, so the signature's move and its folder's sync are on
    // the disk before the list moves; a staged file not committed goes with
    // its batch.
    platform::ReplacementBatch listBatch;
    platform::ReplacementBatch signatureBatch;
    if (!StageSynced(listBatch, listTarget, list) ||
        (signature && !StageSynced(signatureBatch, signatureTarget, *signature))) {
        *error = "cannot write the patch list and its signature beside '" + listTarget + "'";
        return false;
    }
    if (signature && !signatureBatch.Commit()) {
        *error = "cannot put the signature in place at '" + signatureTarget + "'";
        return false;
    }
    std::size_t moved = 0;
    const bool committed = listBatch.Commit(&moved);
    if (moved == 0) {
        *error = "cannot put the patch list in place at '" + listTarget + "'" +
                 (signature ? ": its new signature is, so run again" : "");
        return false;
    }
    progress->added.clear();
    if (!committed) {
        *error = "the new list is in place but may not survive a power cut: the folder of '" +
                 listTarget + "' could not be synced";
        return false;
    }
    return true;
}

// Takes away what this run added, so a failed run leaves the site as it was.
void RollBack(const PublishProgress& progress, const fs::path& site, bool siteMade) {
    for (const fs::path& package : progress.added)
        platform::RemoveFile(Utf8Of(package));
    std::error_code ignored;
    if (siteMade)
        fs::remove(site, ignored);  // only when empty
}

// Builds the missing packages and writes the list; false, with the site as
// it was (unless the list went in but its signature did not), on failure.
bool PublishReleases(const std::vector<Release>& releases, const PublishRequest& request,
                     const std::optional<Ed25519SigningKey>& key, const Console& console,
                     std::string* error) {
    std::error_code failure;
    const bool siteMade = fs::create_directories(request.site, failure);
    if (failure) {
        *error = "cannot make the site folder '" + Utf8Of(request.site) + "'";
        return false;
    }
    PublishProgress progress;
    bool done = true;
    for (std::size_t i = 1; done && i < releases.size(); ++i)
        done = PublishStep(releases[i - 1], releases[i], request, console, &progress, error);
    std::string list;
    for (const std::string& record : progress.records)
        list += record + "\n";
    std::optional<std::string> signature;
    if (done && key)
        signature = SignatureText(key->Sign(list)) + "\n";
    done = done && PlaceListAndSignature(request.site / PathFromUtf8(request.listName), list,
                                         signature, &progress, error);
    if (!done)
        RollBack(progress, request.site, siteMade);
    return done;
}

void ReportList(const PublishRequest& request, const std::vector<Release>& releases,
                const std::optional<Ed25519SigningKey>& key, const Console& console) {
    const fs::path list = request.site / PathFromUtf8(request.listName);
    console.err << "patchtool: wrote " << Utf8Of(list) << ": " << releases.size() - 1
                << " records, " << FormatVersion(releases.front().version) << " to "
                << FormatVersion(releases.back().version)
                << "; installations take it from UpdateURL="
                << SiteFileUrl(request.address, request.listName) << "\n";
    std::error_code failure;
    if (key) {
        console.err << "patchtool: wrote " << Utf8Of(list) << ".sig: signed by "
                    << PublicKeyText(key->PublicKey()) << "\n";
    } else if (fs::exists(PathFromUtf8(Utf8Of(list) + ".sig"), failure)) {
        Warn(console, {Utf8Of(list) + ".sig no longer matches the list: an updater with "
                                      "trusted keys refuses the list until it is signed"});
    }
}

int Run(const std::vector<std::string>& words, const Console& console) {
    ParsedArguments parsed;
    int status = kExitSuccess;
    PublishRequest request;
    if (!ParseCommand(words, PublishCommand(), console, &parsed, &status) ||
        !ReadPublishRequest(parsed, console, &request, &status)) {
        return status;
    }
    // The key is read before anything is built: a wrong key file is told at
    // once, not after the packages.
    std::optional<Ed25519SigningKey> key;
    if (parsed.Has("key") && !(key = ReadPrivateKey(PathFromUtf8(parsed.Value("key"))))) {
        Error(console, "'" + parsed.Value("key") +
                           "' holds no unencrypted Ed25519 private key (patchtool keygen "
                           "makes one)");
        return kExitFailure;
    }
    ReleaseScan scan;
    std::string error;
    const bool scanned = ScanReleases(request.releases, &scan, &error);
    Warn(console, scan.ignored);
    if (!scanned || !CheckReleaseVersionFiles(scan.releases, &error) ||
        !PublishReleases(scan.releases, request, key, console, &error)) {
        Error(console, error);
        return kExitFailure;
    }
    ReportList(request, scan.releases, key, console);
    console.out << NginxServerBlock(request.address, fs::absolute(request.site).lexically_normal());
    return kExitSuccess;
}

}  // namespace

const Command& PublishCommand() {
    static const Command command{
        "publish",
        "build a site from release trees: packages, signed list, nginx block",
        {},
        "Turns a folder of release trees into an update site. DIR holds one\n"
        "installation tree per release, named by its version (1.0.0/, 1.0.1/, ...);\n"
        "each tree's config/version.cfg must give that version. For each release\n"
        "after the first, the package from the release before it is built into the\n"
        "site as update-X.Y.Z.pkg, unless the site has it already (it is then kept\n"
        "as it is: remove it to have it built again). Then the patch list is written\n"
        "with one record per package, in version order, each with the package's\n"
        "SHA-256 and its URL under the base URL, and signed with the key when one is\n"
        "given. An nginx server block for the site goes to standard output.\n",
        {{{"releases", 0, true},
          "DIR",
          "the release trees; other names in it are ignored with a "
          "warning",
          Presence::kRequired},
         {{"site", 0, true},
          "DIR",
          "the folder that is served (made when missing)",
          Presence::kRequired},
         {{"base-url", 0, true},
          "URL",
          "where the site is served, http[s]://host[:port][/path]",
          Presence::kRequired},
         CodecOption(),
         {{"key", 0, true}, "KEYFILE", "sign the list as 'patchtool sign' does (LIST.sig)"},
         {{"list", 0, true}, "NAME", "the patch list's file name (default: patchlist.cfg)"}},
        "On failure the site is left as it was: no package of this run stays, and the\n"
        "list and its signature are replaced only once every package is in place.\n",
        Run};
    return command;
}
