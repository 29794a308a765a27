// The patch list: a plain text of records, five white-space separated tokens
// each — version (major.minor.build), package URL, options, and two fields
// this updater reads and ignores. Records newer than the installed version are
// selected in the order of the text; an options token holding "-r" makes the
// record a stop record, after which nothing more is read in this run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vocabulary/packed_version.h"

struct PatchEntry {
    PackedVersion version = 0;
    std::string url;

    bool operator==(const PatchEntry&) const = default;
};

// What a patch list selects for an installation.
struct PatchSelection {
    // The records newer than the installed version, in the order of the text,
    // duplicates kept; applied in this order.
    std::vector<PatchEntry> selectedPatches;
    // A stop record was taken: the run ends after it, and the update-needed
    // flag stays set so that the next start fetches the records after it.
    bool rerunRequired = false;
};

// Selects the records of `text` newer than `installedVersion`, up to and
// including the first stop record among them. Never fails; runs in time
// linear in the text's length.
PatchSelection ParsePatchList(PackedVersion installedVersion, std::string_view text);
