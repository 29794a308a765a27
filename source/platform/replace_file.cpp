#include "platform/replace_file.h"

#include <algorithm>
#include <string_view>

#include "platform/platform.h"

namespace platform {
namespace {

// Appended to a target's name for the file its new content is written to.
constexpr std::string_view kStagedFileSuffix = ".updating";
// The staged file of a target whose name leaves no room for the suffix. One
// fixed name per folder: a killed process leaves at most one such file there,
// and the same target replaced again writes and moves that very file.
constexpr std::string_view kLongNameStagedFile = ".updating";
// The longest file name (one path component) the common file systems take.
constexpr std::size_t kMaxFileNameBytes = 255;

// Beside the target, so that the move stays inside one folder and one volume.
// A name too long to take the suffix gets the folder's fixed staged file
// instead; the suffix pushing it past the file system's limit would make the
// target impossible to replace.
std::string StagedPathOf(const std::string& target) {
    const std::size_t folderEnd = target.find_last_of("/\\") + 1;  // 0 when there is none
    std::string staged = target.substr(0, folderEnd);
    if (target.size() - folderEnd + kStagedFileSuffix.size() <= kMaxFileNameBytes)
        staged.append(target, folderEnd).append(kStagedFileSuffix);
    else
        staged.append(kLongNameStagedFile);
    return staged;
}

// Open files a batch may hold before it commits: far below any system's
// limit of open files, and enough that the waits of a commit are shared.
constexpr std::size_t kMaxStagedFiles = 128;

// The folder that holds `path`; empty for the working directory.
std::string FolderOf(const std::string& path) {
    const std::size_t separator = path.find_last_of("/\\");
    if (separator == std::string::npos)
        return {};
    return separator == 0 ? path.substr(0, 1) : path.substr(0, separator);
}

}  // namespace

ReplacementBatch::~ReplacementBatch() {
    for (const Staged& staged : staged_) {
        CloseFile(staged.file);
        RemoveFile(staged.stagedPath);
    }
}

bool ReplacementBatch::Stage(const std::string& target,
                             const std::function<bool(std::FILE*)>& writeContent,
                             ReplaceFallback fallback) {
    const std::string stagedPath = StagedPathOf(target);
    const bool nameTaken = std::any_of(staged_.begin(), staged_.end(), [&](const Staged& staged) {
        return staged.stagedPath == stagedPath;
    });
    if ((nameTaken || staged_.size() >= kMaxStagedFiles) && !Commit())
        return false;
    // Whatever stands at the staged name (a file a killed process left, or a
    // link planted there) goes first, and the staged file is then made anew:
    // opened through a link, it would carry the content wherever that leads.
    RemoveFile(stagedPath);
    std::FILE* file = OpenFile(stagedPath, "wbx");
    if (file == nullptr)
        return fallback == ReplaceFallback::kWriteInPlace && StageInPlace(target, writeContent);
    if (!writeContent(file)) {
        CloseFile(file);
        RemoveFile(stagedPath);
        return false;
    }
    StartWriteBack(file);
    staged_.push_back({stagedPath, target, file});
    return true;
}

bool ReplacementBatch::StageInPlace(const std::string& target,
                                    const std::function<bool(std::FILE*)>& writeContent) {
    std::FILE* file = OpenFile(target, "wb");
    if (file == nullptr)
        return false;
    const bool written = writeContent(file) && SyncFile(file) == 0;
    // A failing close means buffered bytes never reached the file.
    const bool closed = CloseFile(file) == 0;
    NoteFolderChange(FolderOf(target));  // the file may be new
    return written && closed;
}

bool ReplacementBatch::Holds(const std::string& target) const {
    return std::any_of(staged_.begin(), staged_.end(),
                       [&](const Staged& staged) { return staged.target == target; });
}

void ReplacementBatch::NoteFolderChange(const std::string& folder) {
    if (std::find(folders_.begin(), folders_.end(), folder) == folders_.end())
        folders_.push_back(folder);
}

bool ReplacementBatch::Commit(std::size_t* movedCount) {
    const std::size_t synced = SyncedPrefix();
    std::size_t moved = 0;
    while (moved < synced && MoveFileOver(staged_[moved].stagedPath, staged_[moved].target) == 0) {
        NoteFolderChange(FolderOf(staged_[moved].target));
        ++moved;
    }
    for (std::size_t i = moved; i < staged_.size(); ++i)
        RemoveFile(staged_[i].stagedPath);
    if (movedCount != nullptr)
        *movedCount = moved;
    const bool whole = moved == staged_.size();
    staged_.clear();
    return SyncFolders() && whole;
}

// Syncs and closes every staged file, in order, up to the first that fails;
// the ones after it are only closed. Returns how many reached the disk. All
// write-backs were started when the files were staged, so by now most of the
// waits are short, and the file system can commit many of them together.
std::size_t ReplacementBatch::SyncedPrefix() {
    std::size_t synced = 0;
    bool failed = false;
    for (Staged& staged : staged_) {
        failed = failed || SyncFile(staged.file) != 0;
        // A failing close means buffered bytes never reached the file.
        failed = CloseFile(staged.file) != 0 || failed;
        staged.file = nullptr;
        if (!failed)
            ++synced;
    }
    return synced;
}

bool ReplacementBatch::SyncFolders() {
    bool synced = true;
    for (const std::string& folder : folders_)
        synced = SyncFolder(folder) == 0 && synced;
    folders_.clear();
    return synced;
}

bool ReplaceFile(const std::string& target, const std::function<bool(std::FILE*)>& writeContent,
                 ReplaceFallback fallback) {
    ReplacementBatch batch;
    return batch.Stage(target, writeContent, fallback) && batch.Commit();
}

int SyncFolderOf(const std::string& path) {
    return SyncFolder(FolderOf(path));
}

bool WriteAllBytes(std::FILE* file, const void* data, std::size_t size) {
    return size == 0 || WriteFile(data, size, 1, file) == 1;
}

}  // namespace platform
