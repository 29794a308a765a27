// Applying a downloaded patch package to the installation.
//
// A package's header is checked against the version of the patch-list record that
// fetched it, and its entries are applied in order to the files below the
// installation root. The payload is unpacked as a stream where its codec
// allows (payload_stream.h), so memory does not grow with the package: it is
// read once to check it whole, then again to apply it, each entry's content
// written as it is unpacked. There is no rollback: entries applied before a
// failure stay applied. After the entries were walked (whether the walk
// succeeded or not), a post-update script left in the installation root runs
// there and is removed. Layout of a package: package_format.h.
//
// Everything here runs on the update worker thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vocabulary/error_codes.h"
#include "vocabulary/packed_version.h"
#include "vocabulary/status_word.h"

// Where a package is applied: the installation root, and the folder its
// packages were downloaded to. Either may be relative to the working
// directory, and the root may end in a separator or not; the updater applies
// in its working directory. Nothing here changes the working directory, so
// tools may apply to any folder without moving there.
struct InstallationFolders {
    std::string installRoot = "./";
    std::string downloadDir = "./download";
};

// Applies `folders.downloadDir` + "/" + `packageFileName` below
// `folders.installRoot`. Reports kStagePackageOpening on entry,
// kStagePackageRead once the header was read and the payload opened,
// kStagePayloadReady once the whole payload was unpacked and checked, then
// kStageModifyingFile before each modify, delta, check or remove entry and
// kStageAddingFile
// before each add entry, also before one found malformed (once its tag names its
// kind), so a failure always follows the word of the entry it belongs to; it
// never reports an error word. `statusCallback` may be empty.
//
// Returns true when every entry up to the end of the list was applied.
// Returns false, with nothing changed, when the package cannot be read, its
// magic or version is wrong, its payload does not unpack to exactly the
// announced size, or a delta entry's target is neither the file the delta was
// made from nor the file it makes, or the delta does not make that file, or
// a check entry's file is neither its old nor its new file, a remove entry
// expects a file that is not there as it expects it (a missing one is fine)
// or its folder leads outside the root, or
// the installation's volume lacks room for what the entries will write (the
// post-update script is then not looked for). Returns
// false, keeping the entries applied before, when an entry is malformed (its
// name field holding anything but zero bytes after the name included), its
// name would leave the installation root, its target cannot be opened, or any
// write, seek, length change, sync or close of the target fails. On failure
// `*failure` (when given) is kNoRoomForPackage for a volume without room,
// kApplyFailed otherwise; on success kOk.
//
// Power cuts: every file an entry changes is synced, and its folder after a
// name changed there, and the version file ("config/version.cfg") is the
// package's commit record: it is replaced only once every change before it
// is on the disk, and is itself synced, with its folder, before this
// returns. After a power cut the version file therefore names the new
// version only over the new files; otherwise the package is applied again.
//
// Symbolic links below the root are followed: an entry whose target, or a
// folder on the way to it, is a link that leads outside the root (as
// platform::ResolvesInside judges) fails before anything is changed or made;
// one that stays inside works on the file it leads to, and the link stays.
//
// An add entry replaces its target whole or not at all
// (platform::ReplacementBatch): its content is written to a file beside the
// target (the name with ".updating" appended, or ".updating" alone when that
// name would exceed 255 bytes), which is moved over the target once synced;
// many small files are synced and moved together, and always before an entry
// that touches the same target and before the version file. A staged file left by a killed
// run is rewritten and moved when the package is applied again. Only when no
// staged file can be opened in the target's folder is the target written in
// place.
//
// In a package whose codec allows check entries (zstd), every modify entry is
// made beside its target and moved over it, as for the version file, so a
// file a check entry guards is only ever its old or its new version. A remove
// entry removes the name itself (a link, not what it leads to; a folder only
// when empty) and syncs its folder before the version file is replaced.
//
// A delta entry that finds its target already new does nothing; one that
// finds the old file writes the new one beside it, as an add entry does, and
// moves it over the target only when its SHA-256 is the recorded one. It is
// never written in place.
//
// The post-update script is "Special.bat" in the installation root; it runs
// with the root as its working directory (post_update_script.h).
bool ApplyPatchPackage(const InstallationFolders& folders, const std::string& packageFileName,
                       PackedVersion expectedVersion, StatusCallback statusCallback,
                       ErrorCode* failure = nullptr);

// The path of `name` (an entry name, "/" as separator) below `root`: joined
// with a "/" unless `root` is empty or already ends in a separator.
std::string PathBelowRoot(const std::string& root, std::string_view name);

// Turns every "/" of `path` into "\", in place.
void NormalizePathSeparators(std::string& path);
