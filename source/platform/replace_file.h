// Replacing a file whole: the new content is written beside the target and
// then moved over it in one step, so that a full disk, a failed write or a
// killed process never leaves the target cut short. Whoever reads the target
// sees either its old content or all of the new.
//
// Built on the platform calls of platform.h alone, so every implementation of
// the platform layer gets it as it is.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

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
// then closed (a failed close fails: buffered bytes never reached the disk)
// and moved over the target with MoveFileOver, so the new file keeps the
// permissions of the one it replaces. Returns false when any step fails; the
// staged file is then removed and the target is as it was.
//
// When the staged file cannot be opened (a folder that takes no new files,
// or something other than a file standing at the staged name), kNone fails
// without calling `writeContent`; kWriteInPlace opens the target itself for
// writing, cut to nothing, and hands that to `writeContent`, so a failure
// part-way then leaves the target cut short.
bool ReplaceFile(const std::string& target, const std::function<bool(std::FILE*)>& writeContent,
                 ReplaceFallback fallback = ReplaceFallback::kNone);

// Writes the `size` bytes at `data` to `file` with one call; true when all of
// them were written (always for none). The usual `writeContent` of ReplaceFile.
bool WriteAllBytes(std::FILE* file, const void* data, std::size_t size);

}  // namespace platform
