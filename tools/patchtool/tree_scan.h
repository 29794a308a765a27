// Listing the files of an installation tree.
//
// A package can only carry regular files: it has no entry that makes a
// folder, a link or a device (a zstd package can remove them). So the scan
// lists regular files, and beside them the folders and links a package may
// have to remove, and reports every node other than a regular file or a
// folder as a warning, instead of guessing what the updater should make of
// it. Symbolic links are skipped, not followed: following one would copy a
// file from elsewhere (perhaps from outside the tree) into the installation,
// and would write through the link on the publisher's side when a package is
// verified.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct TreeScan {
    // Paths relative to the root, "/" as separator, sorted byte by byte.
    std::vector<std::string> files;
    // The folders and the symbolic links, named and sorted the same way.
    std::vector<std::string> folders;
    std::vector<std::string> links;
    // One line per node that was skipped, in the order met.
    std::vector<std::string> warnings;
};

// Lists the regular files below `root`. Returns false, with a message in
// `*error`, when `root` is not a readable folder or a folder below it cannot
// be read: a package built from half a tree would silently lose files.
bool ScanTree(const std::filesystem::path& root, TreeScan* scan, std::string* error);

// Whether something other than a regular file stands at `root`'s
// config/version.cfg: a symbolic link (even one to a regular file), a folder
// or a device. The scan skips it, so a package built from the tree would
// carry no version file, and installations would take it on every run.
// False when nothing is there.
bool VersionFileIsNotRegular(const std::filesystem::path& root);
