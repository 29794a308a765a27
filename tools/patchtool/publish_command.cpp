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
#include "publish_state.h"
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
    fs::path statePath;  // beside the release trees, outside the site
};

// One run's work so far: the records in list order, the packages it put in
// the site, which are taken away again if the run fails before the list
// names them, and what it knows of each package's origin.
struct PublishProgress {
    std::vector<std::string> records;
    std::vector<fs::path> added;
    // Packages built anew in place of files the site held, staged beside
    // them until the list goes in; a failed run drops them with the batch.
    platform::ReplacementBatch rebuilt;
    PublishState state;
};

// A release tree and its digest (publish_state.h).
struct DigestedRelease {
    const Release& release;
    Sha256Digest tree;
};

bool ReadPublishRequest(const ParsedArguments& parsed, const Console& console,
                        PublishRequest* request, int* status) {
    request->releases = PathFromUtf8(parsed.Value("releases"));
    request->site = PathFromUtf8(parsed.Value("site"));
    request->statePath = request->releases / kPublishStateName;
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

// Builds the package from `from` to `to` into the site at `target`: saved
// there when the site has no such file, staged beside it in `replacing`
// otherwise. Its digest goes to `*digest`.
bool BuildIntoSite(const Release& from, const Release& to, const fs::path& target,
                   const PublishRequest& request, const Console& console,
                   platform::ReplacementBatch* replacing, Sha256Digest* digest,
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
    const std::string& package = result.package;
    const bool saved = replacing != nullptr
                           ? replacing->Stage(Utf8Of(target),
                                              [&package](std::FILE* file) {
                                                  return platform::WriteAllBytes(
                                                      file, package.data(), package.size());
                                              })
                           : SavePackage(Utf8Of(target), package);
    if (!saved) {
        *error = "cannot write the package to '" + Utf8Of(target) + "'";
        return false;
    }
    *digest = Sha256Of(package);
    console.err << "patchtool: wrote " << Utf8Of(target) << ": " << package.size() << " bytes, "
                << EntryCounts(result, request.codec) << " (" << CodecName(request.codec) << ", "
                << FormatVersion(from.version) << " to " << FormatVersion(to.version) << ")\n";
    return true;
}

// Why the file at `target` cannot be taken as the package from `origin`'s
// trees, or nothing when it can: publish made it from exactly these trees
// and it is still the bytes it made, whose digest then goes to
// `origin->package`.
std::optional<std::string> ReasonToRebuild(const fs::path& target, PackageOrigin* origin,
                                           const PublishState& state) {
    const std::optional<PackageOrigin> recorded = state.Find(target);
    if (!recorded)
        return "publish has no record of making it";
    if (recorded->fromTree != origin->fromTree || recorded->toTree != origin->toTree)
        return "it was built from other release trees";
    if (DigestOfFile(Utf8Of(target)) != recorded->package)
        return "it is no longer the package publish made";
    origin->package = recorded->package;
    return std::nullopt;
}

// Makes sure the site holds the package that brings `from` to `to`, and
// adds its record.
bool PublishStep(const DigestedRelease& from, const DigestedRelease& to,
                 const PublishRequest& request, const Console& console, PublishProgress* progress,
                 std::string* error) {
    const std::string name = PackageNameFor(to.release.version);
    const fs::path target = request.site / PathFromUtf8(name);
    PackageOrigin origin{from.tree, to.tree, {}};
    std::error_code failure;
    const bool present = fs::exists(fs::symlink_status(target, failure));
    const std::optional<std::string> reason =
        present ? ReasonToRebuild(target, &origin, progress->state) : std::nullopt;
    if (present && !reason) {
        console.err << "patchtool: reused " << Utf8Of(target) << ", which publish built from "
                    << FormatVersion(from.release.version) << " to "
                    << FormatVersion(to.release.version) << " as they are now\n";
    } else {
        if (present) {
            console.err << "patchtool: rebuilding " << Utf8Of(target) << ": " << *reason << "\n";
        }
        if (!BuildIntoSite(from.release, to.release, target, request, console,
                           present ? &progress->rebuilt : nullptr, &origin.package, error)) {
            return false;
        }
        if (!present)
            progress->added.push_back(target);
    }
    progress->state.Record(target, origin);
    std::string record;
    if (!FormatPatchListRecord(to.release.version, SiteFileUrl(request.address, name), false,
                               origin.package, &record, error)) {
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
    if (!progress->rebuilt.Commit()) {
        *error = "cannot put the rebuilt packages in place in the site";
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
    int dropped = 0;
    progress.state = PublishState::Read(request.statePath, &dropped);
    if (dropped != 0) {
        Warn(console, {Utf8Of(request.statePath) + ": " + std::to_string(dropped) +
                       " lines could not be read; their packages are built again"});
    }
    std::vector<DigestedRelease> digested;
    for (const Release& release : releases) {
        const std::optional<Sha256Digest> tree = TreeDigest(release.tree, error);
        if (!tree)
            return false;
        digested.push_back({release, *tree});
    }
    bool done = true;
    for (std::size_t i = 1; done && i < digested.size(); ++i)
        done = PublishStep(digested[i - 1], digested[i], request, console, &progress, error);
    std::string list;
    for (const std::string& record : progress.records)
        list += record + "\n";
    std::optional<std::string> signature;
    if (done && key)
        signature = SignatureText(key->Sign(list)) + "\n";
    done = done && PlaceListAndSignature(request.site / PathFromUtf8(request.listName), list,
                                         signature, &progress, error);
    if (!done) {
        RollBack(progress, request.site, siteMade);
        return false;
    }
    if (!progress.state.Write(request.statePath)) {
        *error =
            "the site is published, but what publish knows of its packages could not be "
            "written to '" +
            Utf8Of(request.statePath) + "': the next run builds them again";
        return false;
    }
    return true;
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
    std::string keyError;
    if (parsed.Has("key") &&
        !(key = ReadPrivateKey(PathFromUtf8(parsed.Value("key")), &keyError))) {
        Error(console, keyError);
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
        "site as update-X.Y.Z.pkg. A package already in the site is kept only when this\n"
        "tool built it from exactly these two release trees and it is still the bytes\n"
        "it built (DIR/.publish-state records that); otherwise it is built again, and a\n"
        "file the tool did not make is never signed. Then the patch list is written\n"
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
