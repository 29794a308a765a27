#include "support/sync_ledger.h"

#include <sys/stat.h>

#include <cstdio>
#include <system_error>

namespace testing_support {
namespace {

namespace fs = std::filesystem;

ino_t InodeOf(int descriptor) {
    struct stat info {};
    return fstat(descriptor, &info) == 0 ? info.st_ino : 0;
}

ino_t InodeAt(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

fs::path Canonical(const std::string& path) {
    std::error_code ignored;
    return fs::weakly_canonical(path.empty() ? "." : path, ignored);
}

fs::path FolderOf(const std::string& path) {
    return Canonical(path).parent_path();
}

}  // namespace

SyncLedger::SyncLedger(const fs::path& versionFile) : versionFile_(Canonical(versionFile)) {}

void SyncLedger::Observe(const platform::DiskEvent& event) {
    using platform::DiskChange;
    switch (event.kind) {
        case DiskChange::kWrite:
            unsyncedFiles_.insert(InodeOf(fileno(event.file)));
            break;
        case DiskChange::kChangeSize:
            unsyncedFiles_.insert(InodeOf(event.descriptor));
            break;
        case DiskChange::kSyncFile:
            unsyncedFiles_.erase(InodeOf(event.descriptor));
            break;
        case DiskChange::kMakeFolder:
            if (InodeAt(event.path) == 0)  // not merely tried on a folder that is there
                unsyncedFolders_.insert(FolderOf(event.path));
            break;
        case DiskChange::kRemove:
            if (InodeAt(event.path) != 0)
                unsyncedFolders_.insert(FolderOf(event.path));
            break;
        case DiskChange::kMove:
            Moved(event.path, event.target);
            break;
        case DiskChange::kSyncFolder:
            unsyncedFolders_.erase(Canonical(event.path));
            break;
        case DiskChange::kCreateFile:
            break;  // a new name counts once something relies on it: a move
    }
}

void SyncLedger::Moved(const std::string& from, const std::string& to) {
    ++moves_;
    if (unsyncedFiles_.count(InodeAt(from)) != 0)
        breaches_.push_back(from + " was moved to " + to + " before it was synced");
    if (Canonical(to) == versionFile_) {
        versionFileMoved_ = true;
        if (!unsyncedFiles_.empty() || !unsyncedFolders_.empty()) {
            breaches_.push_back("the version file was replaced while " +
                                std::to_string(unsyncedFiles_.size()) + " files and " +
                                std::to_string(unsyncedFolders_.size()) +
                                " folders were not synced");
        }
    }
    unsyncedFolders_.insert(FolderOf(to));
}

std::vector<std::string> SyncLedger::Breaches() const {
    std::vector<std::string> all = breaches_;
    if (!unsyncedFiles_.empty())
        all.push_back(std::to_string(unsyncedFiles_.size()) + " files written but never synced");
    for (const fs::path& folder : unsyncedFolders_)
        all.push_back(folder.string() + " changed but never synced");
    return all;
}

}  // namespace testing_support
