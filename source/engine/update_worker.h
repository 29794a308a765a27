// The procedure of the one worker thread: a whole update run.
//
// It reads the installed version and the patch-list URL, fetches the patch
// list (up to four tries), selects the newer patches, downloads every package
// into "./download", and once the last one is on disk applies them all in list
// order. It never touches a window: every stage, percentage and the error that
// ends the run go to `statusCallback`, and the last status word is its last
// visible act.
#pragma once

#include <cstdint>
#include <string>

#include "engine/patch_list.h"
#include "vocabulary/status_word.h"

// Fixed values of a run.
inline constexpr int kPatchListTries = 4;
inline constexpr std::int32_t kPatchListBudgetSeconds = 10;
inline constexpr std::int32_t kPackageBudgetSeconds = 500;

// Runs one update in the working directory; call it on the worker thread only.
// Everything the user sees of the run travels as status words; what is
// returned is the selection the patch list made (empty when the run ended
// before it), for the caller to print or to keep the update-needed flag set
// after a stop record. Nothing is thrown: a failed allocation ends the run
// with kOutOfMemory, any other std::exception with kUnexpectedFailure.
PatchSelection UpdateWorker(StatusCallback statusCallback);

// The bytes after the last "/" of `url`: the package's file name in the
// download folder. Empty when the URL has no "/" or ends with one.
std::string PackageFileName(const std::string& url);

// Whether `name` names a file inside the download folder and nowhere else:
// not empty, not "." or "..", and free of "/", "\" (a separator too where
// paths reach the file system), ":" (a drive or a stream on Windows) and
// control bytes (0x00-0x1F, 0x7F). The name comes from the server's URL, so
// anything else could make the updater write and apply a file elsewhere.
bool IsUsablePackageFileName(const std::string& name);
