// The procedure of the one worker thread: a whole update run.
//
// It reads the installed version and the patch-list URL, fetches the patch
// list (up to four tries), checks the list's signature when keys are trusted,
// selects the newer patches, checks their digest fields, downloads every
// package into the installation's "download" folder (package_download.h: streamed to disk,
// continued where an earlier run stopped, never fetched again once whole), and once the last one is
// on disk applies them all in list order. It never touches a window: every stage, percentage and
// the error that ends the run go to `statusCallback`, and the last status word is its last visible
// act.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/patch_list.h"
#include "transfer/http_get.h"
#include "trust/ed25519.h"
#include "trust/trusted_keys.h"
#include "vocabulary/status_word.h"

// Fixed values of a run.
inline constexpr int kPatchListTries = 4;
inline constexpr std::int32_t kPatchListBudgetSeconds = 10;

// Where a run works and what it trusts.
struct UpdateSettings {
    // The installation the run updates: "config/version.cfg", "download/" and
    // every package entry's name are below it, and the post-update script runs
    // in it. The programs pass "./", the folder they were started in; a
    // relative root (or none) is taken against the working directory, which
    // the run never changes.
    std::string installRoot = {};
    // The Ed25519 keys any of which may sign the patch list. With at least
    // one, a list whose signature (LIST_URL + ".sig") none of them made ends
    // the run with kListNotTrusted, and a taken record without a digest with
    // kDigestMissing, before anything is downloaded. Empty: lists are taken
    // unsigned and records without digests are fetched, as before keys
    // existed. A digest a record carries is checked either way.
    std::vector<Ed25519PublicKey> trustedKeys = BuildTrustedKeys();
};

// What a run leaves for its caller besides its status words.
struct UpdateReport {
    // The selection the patch list made (empty when the run ended before it),
    // to print or to keep the update-needed flag set after a stop record.
    PatchSelection selection;
    // The run was to check the list's signature: keys were trusted.
    bool signatureRequired = false;
    // The trusted key that signed the list, once its signature checked out;
    // only then were the list's records taken.
    std::optional<Ed25519PublicKey> listSigner;
    // Where the run's exchanges went (addresses and proxies), each route
    // once, in the order first used.
    std::vector<ConnectionRoute> routes;
};

// Runs one update of the installation at `settings.installRoot`; call it on
// the worker thread only. Everything the user sees of the run travels as
// status words. Nothing is thrown: a failed allocation ends the run with
// kOutOfMemory, any other std::exception with kUnexpectedFailure. The first
// form trusts the keys built in.
UpdateReport UpdateWorker(StatusCallback statusCallback, const std::string& installRoot);
UpdateReport UpdateWorker(StatusCallback statusCallback, const UpdateSettings& settings);

// The bytes after the last "/" of `url`: the package's file name in the
// download folder. Empty when the URL has no "/" or ends with one.
std::string PackageFileName(const std::string& url);

// Whether `name` names a file inside the download folder and nowhere else:
// not empty, not "." or "..", and free of "/", "\" (a separator too where
// paths reach the file system), ":" (a drive or a stream on Windows) and
// control bytes (0x00-0x1F, 0x7F). The name comes from the server's URL, so
// anything else could make the updater write and apply a file elsewhere.
bool IsUsablePackageFileName(const std::string& name);

// Whether every record of `patches` gives a usable package file name, each
// its own: two records whose URLs end in the same name (on Windows also in
// names that differ only in case) would share one file in the download
// folder, and the later download would replace the earlier package.
bool HasOwnUsablePackageFiles(const std::vector<SelectedPatch>& patches);
