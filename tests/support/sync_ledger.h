// Checks a run's disk calls against the durability rule, as they are made:
// a file is synced after its last write and before it is moved to its final
// name, a folder is synced after a name in it changed, and the version file
// is moved into place only once every other change is on the disk. Install
// it with platform::ObserveDisk around the run; POSIX only.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/test_hooks.h"

namespace testing_support {

class SyncLedger : public platform::DiskObserver {
  public:
    explicit SyncLedger(const std::filesystem::path& versionFile);

    void Observe(const platform::DiskEvent& event) override;

    // Every breach of the rule seen so far, and those still open now: files
    // written but not synced, folders changed but not synced. Empty when the
    // run kept the rule.
    std::vector<std::string> Breaches() const;

    // Moves seen, and whether one of them put the version file in place: a
    // check that saw neither proves nothing.
    int moves() const { return moves_; }
    bool versionFileMoved() const { return versionFileMoved_; }

  private:
    void Moved(const std::string& from, const std::string& to);

    std::filesystem::path versionFile_;
    std::set<ino_t> unsyncedFiles_;
    std::set<std::filesystem::path> unsyncedFolders_;
    std::vector<std::string> breaches_;
    int moves_ = 0;
    bool versionFileMoved_ = false;
};

}  // namespace testing_support
