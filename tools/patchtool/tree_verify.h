// Checking a package against the trees it was built from, with the updater's
// own apply code.
//
// The package is applied to a temporary copy of OLD exactly as an update run
// would apply it (the package in the copy's "download" folder, the copy as the
// installation root), and the result is compared with NEW byte for byte. The
// real OLD and NEW are only read.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "engine/publisher_core.h"

struct TreeVerifyRequest {
    std::filesystem::path packageFile;
    PackedVersion version = 0;
    std::filesystem::path oldRoot;
    std::filesystem::path newRoot;
    // Applying runs the post-update script when the package delivers one or
    // OLD holds one. That is code from the package running on this machine,
    // so it happens only when the caller allows it.
    bool packageDeliversScript = false;
    bool allowScript = false;
    // The package removes what only OLD has (a zstd package): the copy then
    // holds OLD's folders and links too, and whatever of OLD is not in NEW
    // must be gone after applying.
    bool removesOldOnly = false;
};

struct TreeVerifyResult {
    // One line per file that differs from NEW after applying; empty when the
    // result equals NEW.
    std::vector<std::string> differences;
    std::vector<std::string> warnings;
};

// Applies and compares. Returns false, with a message in `*error`, when the
// copy cannot be made, a tree cannot be read, a script would run without
// being allowed, or the updater's apply code fails on the package; the
// differences are in `*result` otherwise.
//
// Files only in OLD are expected to remain, unless the package removes them
// (`removesOldOnly`). The post-update script is not expected to remain either: the updater
// runs it after applying, inside the copy, and deletes it. The working
// directory is left alone.
bool VerifyAgainstTrees(const TreeVerifyRequest& request, TreeVerifyResult* result,
                        std::string* error);
