// Check and remove entries (layout in package_format.h): judging the file a
// check entry names, and removing what a remove entry names.
//
// Both are judged in the checking pass, before anything of the package is
// applied, so a package made for another release refuses itself with nothing
// changed. Removing is judged again when it is applied, by the same code.
//
// Everything here runs on the thread that applies the package.
#pragma once

#include <optional>
#include <string>

#include "patch/package_format.h"

// True when the file `path` leads to (links followed) is a regular file of
// `file`'s size and SHA-256. It is judged by size first, so a file of another
// length is never read.
bool FileMatches(const std::string& path, const FileIdentity& file);

// A check entry's target, resolved inside `root` as the applying pass
// resolves it, is its old file or already its new one.
bool CheckFileVersions(const std::string& root, const std::string& name, const CheckFields& fields);

// What a remove entry does to the installation as it stands.
enum class RemoveAction {
    kNothing,       // nothing stands there: already removed
    kRemoveFile,    // a file, or a link (the link is removed, never what it leads to)
    kRemoveFolder,  // a folder: removed when empty, kept otherwise
    kRefuse,        // the package must not be applied
};

struct RemovePlan {
    RemoveAction action = RemoveAction::kRefuse;
    std::string path;    // what is removed: the resolved folder and the name's last part
    std::string folder;  // the resolved folder it is in, synced after the removal
};

// Judges the remove entry `name` below `root`. The folder the name is in is
// resolved with its links followed and must lie inside the root; the last
// part is looked at itself, a link not followed. Refused: a folder outside,
// a name whose last part is empty or ".", something that is neither a file,
// a link nor a folder, and, when `expected` is given, anything other than
// nothing or a regular file (not a link) that matches it.
RemovePlan PlanRemove(const std::string& root, const std::string& name,
                      const std::optional<FileIdentity>& expected);

// Carries out a plan that is not kRefuse. A folder that cannot be removed
// because it still holds something is kept and counts as done; true unless a
// file or link could not be removed.
bool CarryOutRemove(const RemovePlan& plan);
