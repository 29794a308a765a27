// Replacing a file whole: the new content is written beside the target and
// then moved over it in one step, so that a full disk, a failed write, a
// killed process or a power cut never leaves the target cut short. Whoever
// reads the target sees either its old content or all of the new.
//
// Built on the platform calls of platform.h alone, so every implementation of
// the platform layer gets it as it is.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// What ReplaceFile does when no staged file can be opened beside the target.
enum class ReplaceFallback {
    kNone,          // fail; the target stays as it was
    kWriteInPlace,  // write the target itself, without the protection of the move
};

// Puts new content in the place of `target`, which need not exist yet.
//
// The content is staged beside the target, in the same folder and so on the
// same volume: under the target's name with ".updating" appended, or under
// ".updating" alone when that name would be longer than a file name may be
// (255 bytes), so that a target whose name is near the limit can still be
// replaced. Whatever stands at the staged name is removed first and the
// staged file made anew, never opened through a link. `writeContent` gets the staged file open for
// writing and returns false when a write failed; it must not close the file. The staged file is
// then synced and closed (a failed sync or close fails: the bytes may never
// reach the disk) and moved over the target with MoveFileOver, so the new
// file keeps the permissions of the one it replaces; the folder is synced
// last, so the new name survives a power cut too. Returns false when any step
// fails; the staged file is then removed and the target is as it was (unless
// only the folder's sync failed: then the move was made but may not last).
//
// When the staged file cannot be opened (a folder that takes no new files,
// or something other than a file standing at the staged name), kNone fails
// without calling `writeContent`; kWriteInPlace opens the target itself for
// writing, cut to nothing, and hands that to `writeContent`, then syncs it,
// so a failure part-way then leaves the target cut short.
bool ReplaceFile(const std::string& target, const std::function<bool(std::FILE*)>& writeContent,
                 ReplaceFallback fallback = ReplaceFallback::kNone);

// Many files replaced as ReplaceFile replaces one, with the disk waits
// shared: each file is written beside its target at once and its write-back
// started, and Commit then syncs them all, moves each over its target and
// syncs each folder a move changed once. Thousands of small files so pay one
// round of waits instead of one each. A target stays as it was until Commit.
class ReplacementBatch {
  public:
    ReplacementBatch() = default;
    // Staged files never committed are removed.
    ~ReplacementBatch();
    ReplacementBatch(const ReplacementBatch&) = delete;
    ReplacementBatch& operator=(const ReplacementBatch&) = delete;

    // Writes the new content of `target` beside it, as ReplaceFile does, and
    // leaves the move to Commit. A file staged before under the same staged
    // name, or a batch that holds as many files as it may keep open, is
    // committed first. The in-place fallback writes and syncs the target at
    // once. False when staging (or the commit it needed) failed; nothing is
    // then left at the staged name.
    bool Stage(const std::string& target, const std::function<bool(std::FILE*)>& writeContent,
               ReplaceFallback fallback = ReplaceFallback::kNone);

    // Whether a staged file waits to be moved over `target`: anything that
    // reads or changes `target` must wait for Commit.
    bool Holds(const std::string& target) const;

    // A folder whose names changed besides the moves (a folder made in it),
    // synced by the next Commit.
    void NoteFolderChange(const std::string& folder);

    // Syncs every staged file, then moves them over their targets in the
    // order they were staged, then syncs the folders. When a sync or a move
    // fails, the files before it stay moved and the rest are removed, the
    // folders are still synced, and the result is false. The batch is empty
    // afterwards either way. `*moved`, when given, tells how many files were
    // moved over their targets: a caller whose files must not outlive a
    // failure can tell a failed move from a failed folder sync.
    bool Commit(std::size_t* moved = nullptr);

  private:
    struct Staged {
        std::string stagedPath;
        std::string target;
        std::FILE* file = nullptr;  // open until synced
    };

    bool StageInPlace(const std::string& target,
                      const std::function<bool(std::FILE*)>& writeContent);
    std::size_t SyncedPrefix();
    bool SyncFolders();

    std::vector<Staged> staged_;
    std::vector<std::string> folders_;  // each once
};

// Syncs the folder that holds `path` (SyncFolder), after a name was made,
// moved or removed there. Returns 0 on success.
int SyncFolderOf(const std::string& path);

// Writes the `size` bytes at `data` to `file` with one call; true when all of
// them were written (always for none). The usual `writeContent` of ReplaceFile.
bool WriteAllBytes(std::FILE* file, const void* data, std::size_t size);

}  // namespace platform
