// Fetching one package into the download folder, a piece at a time.
//
// The body goes to "NAME.partial" as it arrives, through a fixed buffer, so a
// package of any size costs the same memory, and is moved to "NAME" once it
// is whole as announced (and matches its record's digest, when the record
// carries one). Only a whole package ever stands under its own name, so
// whatever is found there may be applied; a body cut short stays on disk
// under the partial name, where the next run continues it with a range
// request instead of fetching it all again.
//
// Worker thread only.
#pragma once

#include <cstdint>
#include <string>

#include "engine/patch_list.h"
#include "transfer/http_get.h"
#include "vocabulary/error_codes.h"
#include "vocabulary/status_word.h"

// The name the body is kept under until it is whole.
inline constexpr const char* kPartialSuffix = ".partial";
// The name of the file beside it that says which URL, and which version of
// the server's file, its bytes came from.
inline constexpr const char* kOriginSuffix = ".origin";

// The time one request for a package may spend waiting for data.
inline constexpr std::int32_t kPackageBudgetSeconds = 500;

struct PackageDownload {
    const SelectedPatch& patch;
    // The installation root: neither file may lead outside it.
    std::string installRoot;
    // Where the whole package goes: the download folder and the package's
    // file name.
    std::string path;
    // Receives the download's percentages; may be empty.
    StatusCallback progress{};
    // Told where each exchange went; may be empty.
    RouteObserver observeRoute{};
};

// Makes `download.path` hold the whole package, or says why it could not.
//
// A package already standing at the path is taken without a request when the
// record carries a digest it matches (a run that stopped while applying
// resumes straight there); one that does not match is removed. Without a
// digest only the server can say whether the file is whole, so it is handed
// to the server as a partial file, which a whole one answers with "416"
// and no body.
//
// A partial file of N bytes is continued from N. The answer decides:
//   - the rest ("206" with the range asked for): appended; the digest covers
//     the whole file, the bytes already on disk included;
//   - the whole package ("200"): the partial file is started over;
//   - "416" with a total of N: the partial file was whole already;
//   - "416" otherwise (the partial file is longer than the package): the
//     partial file is removed and the package fetched from the start;
//   - a "206" with another range: the partial file is removed (the server
//     cannot be trusted to continue it) and the download fails with
//     kStatusNotAccepted;
//   - a resumed body whose digest does not match (the server's file changed
//     under the same URL): removed and fetched from the start, once.
//
// Codes: kOk; kPackageFileFailed when a file leads outside the root or
// cannot be opened, written, closed or moved; kPackageIncomplete when the
// body was not whole as announced (a body cut short is kept for the next
// run; one that ran past its announced length is removed); kDigestMismatch
// (the file is removed); any code of HttpGet.
ErrorCode DownloadPackage(const PackageDownload& download);
