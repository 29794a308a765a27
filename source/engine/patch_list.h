// The patch list: a plain text of records, five white-space separated tokens
// each — version (major.minor.build), package URL, options, and two fields
// this updater reads and ignores. Records newer than the installed version are
// selected in the order of the text; an options token holding "-r" makes the
// record a stop record, after which nothing more is read in this run.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "engine/version_file.h"

struct PatchEntry {
    PackedVersion version = 0;
    std::string url;

    bool operator==(const PatchEntry&) const = default;
};

// Set by ParsePatchList when it takes a stop record, never cleared by the
// updater; read by the program flow after the run to leave the update-needed
// flag set. Written on the worker thread, read on the GUI thread.
extern std::atomic<bool> RerunRequired;

// The worker's copy of the selection, applied in this order. Worker thread.
extern std::vector<PatchEntry> SelectedPatches;

// Clears `list` and fills it with the records of `text` newer than
// `installedVersion`, in text order, duplicates kept. Never fails; runs in time
// linear in the text's length.
void ParsePatchList(PackedVersion installedVersion, std::vector<PatchEntry>& list,
                    std::string_view text);
