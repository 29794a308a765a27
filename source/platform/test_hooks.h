// The platform layer's test hooks: injected faults, a faked free-space
// answer, skipped syncs and the disk observer.
//
// They exist only in the test variant of the platform library
// (updater_platform_test_hooks), which a program gets by setting the target
// property UPDATER_TEST_HOOKS (the test programs and the apply benchmark do).
// Everything else, the shipped `update`, `update-console` and `patchtool`
// among them, links the product variant, where the platform calls ask no hook
// at all (see fault_injection_internal.h) and these functions are not
// defined: a program that calls one without the property fails to link.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

// ---------------------------------------------------------------------------
// Fault injection: makes the Nth call (counting from 1) of one kind fail as
// the real call would on a full disk or a broken connection. An unarmed hook
// costs the test variant one atomic load and the product variant nothing.

// A failing write or sync sets errno to ENOSPC, as on a full disk; a failing
// write of a stream writes nothing.
enum class FaultKind {
    kOpen,
    kWrite,
    kSeek,
    kChangeSize,
    kClose,
    kMakeDirectory,
    kSend,
    kReceive,
    kMoveFile,
    kSync  // SyncFile, SyncDescriptor and SyncFolder
};
inline constexpr int kFaultKindCount = 10;

// Arms the hook: the `nth` call of `kind` from now on fails (0 disarms it).
void InjectFaultAt(FaultKind kind, std::uint64_t nth);
// Makes AvailableSpace answer `bytes` for every volume (-1 disarms it).
void InjectAvailableSpace(std::int64_t bytes);
// Disarms every kind, zeroes the counters and disarms the space answer.
void ResetFaults();
// Calls of `kind` counted since the last ResetFaults().
std::uint64_t FaultCallCount(FaultKind kind);

// Makes ResolveHost answer `addresses` for `name` (a test's dual-stack name
// whose first address is dead, say), after `delay` (a resolver whose DNS
// server is slow to answer); an empty list removes the answer. ResetFaults
// removes them all.
void InjectResolvedAddresses(const std::string& name, const std::vector<IpAddress>& addresses,
                             std::chrono::milliseconds delay = std::chrono::milliseconds{0});

// Syncs do nothing and succeed while `skip` is true: for the benchmark that
// shows what durability costs, and for the test that proves the power-cut
// simulation finds the trees an updater without syncs would leave.
void SkipSyncs(bool skip);

// ---------------------------------------------------------------------------
// Disk observation, for tests only: a power-cut simulation learns of every
// call that changes what a power cut would leave on the disk, so it can
// remember what each file held and each folder named at its last sync, and
// stop a run at any such point. Without one each call costs the test variant
// one atomic load.

enum class DiskChange {
    kCreateFile,  // `path` is about to be made, or cut to nothing (OpenFile "w"/"a",
                  // CreatePrivateFile)
    kWrite,       // `size` bytes at `data` are about to be written through `file`
    kChangeSize,  // the length of the file open as `descriptor` is about to change to `size`
    kMakeFolder,  // the folder `path` is about to be made
    kMove,        // `path` is about to be moved over `target`
    kRemove,      // `path` is about to be removed
    kSyncFile,    // `file` (or `descriptor` when `file` is null) was synced
    kSyncFolder,  // the folder `path` was synced
};

struct DiskEvent {
    DiskChange kind = DiskChange::kWrite;
    std::string path;    // native form; for kMove the source
    std::string target;  // kMove only
    std::FILE* file = nullptr;
    int descriptor = -1;
    const void* data = nullptr;
    std::uint64_t size = 0;
};

class DiskObserver {
  public:
    virtual ~DiskObserver() = default;
    // Called before each change is made (kCreateFile to kRemove), and after
    // each sync that succeeded (kSyncFile, kSyncFolder), on the calling
    // thread. The observer may end the process here: a power cut at this
    // point.
    virtual void Observe(const DiskEvent& event) = 0;
};

// Installs `observer` (null removes it). Not thread-safe against calls in
// flight: install it before the run it watches starts.
void ObserveDisk(DiskObserver* observer);

}  // namespace platform
