// The publisher's check of a signed patch list before it goes on the server:
// the signature file beside it, and every record's digest against the
// package file at hand, as the updater will judge them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "engine/publisher_core.h"

// A patch list read to be signed or checked; the updater itself takes no
// more than 16 MiB.
inline constexpr std::size_t kListFileCap = 16 * 1024 * 1024;

struct ListCheckLine {
    bool failed = false;
    std::string text;  // "SUBJECT: ok: ...", "SUBJECT: FAILED: ...", "SUBJECT: not checked: ..."
};

struct ListCheckReport {
    std::vector<ListCheckLine> lines;  // the signature first, then each record in list order
    int failures = 0;
    int digestsMatched = 0;
    int packagesNotAtHand = 0;
};

// Checks `list` + ".sig" against `keys` (any of them may have signed), then
// every record of `list`, stop records and all that follow them included: it
// must carry a well-formed digest and a usable package file name that no
// earlier record names (NamesOnePackageFile), and when the
// package `packages`/NAME exists (NAME the last component of the record's URL)
// its SHA-256 must equal the digest. A package not at hand is reported but
// fails nothing. `list` holds the bytes of the file at `listPath`.
ListCheckReport CheckSignedList(const std::string& list, const std::filesystem::path& listPath,
                                const std::vector<Ed25519PublicKey>& keys,
                                const std::filesystem::path& packages);
