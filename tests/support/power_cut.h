// A power cut, simulated. A file system keeps written data and changed names
// in memory and writes them out later, in any order; a power cut loses what
// it had not written yet. PowerCutDisk watches every call of the platform
// layer that changes the disk (platform::ObserveDisk) and remembers what a
// disk is sure to hold: what each file held at its last sync, what each
// folder named at its last sync. At a chosen point of a run it rebuilds the
// tree below its root as the disk could hold it after a cut there, and ends
// the process. So the run goes in a forked child (RunWithPowerCut), and the
// parent looks at what is left and runs the update again.
//
// Identity. A file or folder is known by its device and inode numbers, mapped
// to an id of our own, and what was durable is kept by id: a file moved to
// another name keeps what it held at its last sync. When a name about to be
// removed or moved over is the last link of its file, the mapping is retired,
// so a new file that gets the freed inode number is a new file to us; what
// was durable of the old one stays, since a durable folder listing may still
// name it.
//
// Points. Every event the observer hears of is a point, numbered from 1 in
// the order they come. A cut at a change (platform::DiskChange kCreateFile to
// kRemove) comes just before it: the change never happens. A cut at a sync
// comes just before the sync takes effect: the power failed while the disk
// was writing, so what it was making durable may not be. A sync is a point
// of its own because syncs follow each other (the folders of one commit, one
// after another), and a cut between two of them leaves a state no cut before
// a change gives. The end of the run is one point more (RunWithPowerCut marks
// it): a cut there comes after the run's last change, before the disk has
// written back what it kept in memory.
//
// What the disk holds after the cut, by mode:
// - kLost: nothing unsynced reached the disk. Each folder names what it named
//   at its last sync (at the start, if never synced since; nothing, if made
//   since and never synced), and each file so named holds what it held at its
//   last sync (its content at the start, if never synced since; nothing, if
//   made since and never synced). A file moved between two folders that were
//   each synced on their side of the move stands under both names.
// - kNamesKept: every name change reached the disk and no unsynced data did:
//   the folders as they are now, each file with its content as in kLost. A
//   file written and moved over another without a sync is empty under its new
//   name, the zero-length file a careless updater leaves.
// - kTorn: everything the program handed to the system reached the disk, as
//   when the process is killed, except the write the cut interrupts: its
//   stream's buffer is flushed (what the program wrote before did land) and
//   only the first half of the interrupted write's bytes land, at the
//   stream's position (its end, for a stream that appends). Bytes other
//   streams still hold in their buffers die with the process, as in a kill.
//   At a point that is not a write, the tree as it stands.
//
// The modes are the extremes: a real disk may also keep some unsynced
// changes and lose others, in any mix; the mixes are not tried.
//
// Not modelled: permissions, times, links (neither kept nor followed), a
// remove or move that fails after its point was seen (its id is retired all
// the same; the sweeps' runs make none). Everything below the root is
// modelled, download folder included: a rerun reads it.
//
// POSIX test code; reading a file synced through a stream opened only for
// writing reopens it through /proc/self/fd, which Linux has.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/test_hooks.h"
#include "support/installation_files.h"

namespace testing_support {

enum class PowerCutMode { kLost, kNamesKept, kTorn };

// "lost", "names-kept", "torn".
const char* NameOf(PowerCutMode mode);
// "create", "write", "change size", "make folder", "move", "remove", "sync
// file", "sync folder".
const char* NameOf(platform::DiskChange change);

class PowerCutDisk final : public platform::DiskObserver {
  public:
    // The exit status of a process the cut ended, and of one whose cut could
    // not rebuild the tree (or whose watching failed before).
    static constexpr int kCutStatus = 86;
    static constexpr int kFailedStatus = 87;

    // Takes everything below `root` as durable and starts watching: installs
    // itself as the disk observer until destroyed. Call it with no run in
    // flight.
    explicit PowerCutDisk(std::filesystem::path root);
    ~PowerCutDisk() override;
    PowerCutDisk(const PowerCutDisk&) = delete;
    PowerCutDisk& operator=(const PowerCutDisk&) = delete;

    // Makes the `point`-th point (counted from the start, from 1) the cut;
    // 0 disarms.
    void Arm(std::uint64_t point, PowerCutMode mode);

    // May end the process (the cut); may be called from any thread.
    void Observe(const platform::DiskEvent& event) override;
    // The run has ended: the point after its last change, which ends the
    // process when it is the one armed.
    void ObserveEnd();

    // The kind of every point seen so far, in order. Not while a run goes.
    const std::vector<platform::DiskChange>& points() const { return points_; }
    // What went wrong while watching (a file that could not be read), empty
    // when nothing did. Not while a run goes.
    const std::string& error() const { return error_; }

  private:
    using Id = std::uint64_t;
    struct Named {
        Id id = 0;
        bool folder = false;
    };
    using Listing = std::map<std::string, Named>;

    Id IdOf(const struct stat& info);
    Listing ListingOf(const std::filesystem::path& folder);
    void Snapshot(const std::filesystem::path& folder);
    void RememberFile(const platform::DiskEvent& event);
    void RememberFolder(const std::string& path);
    void Retire(const std::string& path);
    std::string DurableContent(Id id) const;

    [[noreturn]] void Cut(const platform::DiskEvent* event);
    Tree DurableTree() const;
    void AddDurable(Id folder, const std::string& prefix, Tree& tree, std::vector<Id>& above) const;
    Tree CurrentTree(const std::function<std::string(const struct stat&,
                                                     const std::filesystem::path&)>& content);
    Tree TornTree(const platform::DiskEvent* event);
    void Rebuild(const Tree& tree) const;

    std::filesystem::path root_;
    Id rootId_ = 0;
    Id nextId_ = 1;
    std::map<std::pair<dev_t, ino_t>, Id> ids_;
    std::map<Id, std::string> content_;  // files, at their last sync
    std::map<Id, Listing> listings_;     // folders, at their last sync
    std::vector<platform::DiskChange> points_;
    std::uint64_t armedPoint_ = 0;
    PowerCutMode mode_ = PowerCutMode::kLost;
    std::string error_;
    std::mutex mutex_;  // the download writes on a thread of its own
};

// How a run under RunWithPowerCut ended.
enum class CutOutcome {
    kCut,       // the cut came, and the tree below the root is what it left
    kRanToEnd,  // the run made fewer points than the one armed, its end included
    kFailed,    // no child, a child that died otherwise, or a cut that failed
};

// Runs `run` in a forked child with a PowerCutDisk on `root` armed at
// `point` in `mode`, and waits for it. The child never returns into the
// caller: it ends at the cut or when `run` returns. Call it with the process
// single-threaded (a fork copies only the calling thread, and a lock another
// thread held would stay locked in the child); it fails otherwise.
CutOutcome RunWithPowerCut(const std::filesystem::path& root, std::uint64_t point,
                           PowerCutMode mode, const std::function<void()>& run);

}  // namespace testing_support
