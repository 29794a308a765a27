#include "patch/patch_package.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "patch/delta_entry.h"
#include "patch/entry_stream.h"
#include "patch/file_entries.h"
#include "patch/package_format.h"
#include "patch/package_source.h"
#include "patch/post_update_script.h"
#include "platform/platform.h"
#include "platform/replace_file.h"

namespace {

void Report(StatusCallback statusCallback, Stage stage) {
    statusCallback(StageWord(stage));
}

bool SetFileLength(const std::string& path, std::int64_t length) {
    const int descriptor = platform::OpenReadWrite(path);
    if (descriptor < 0)
        return false;
    // The records went through a stream that is closed by now; syncing the
    // file makes them durable together with its new length.
    const bool changed = platform::ChangeFileSize(descriptor, length) == 0 &&
                         platform::SyncDescriptor(descriptor) == 0;
    const bool closed = platform::CloseDescriptor(descriptor) == 0;
    return changed && closed;
}

// Writes each record's bytes as they are unpacked, a piece at a time. Bytes
// at or past `limit` are read but not written.
bool WriteRecords(EntryStream& entries, std::FILE* target,
                  std::int64_t limit = std::numeric_limits<std::int64_t>::max()) {
    RecordStream records(&entries);
    std::int64_t start = 0;
    std::uint32_t length = 0;
    RecordStep step = RecordStep::kRecord;
    std::int64_t position = -1;  // where the stream stands; unknown before the first seek
    while ((step = records.Next(&start, &length)) == RecordStep::kRecord) {
        // Records that follow each other directly need no seek; skipping it
        // keeps the stream's buffer instead of flushing it for every record.
        if (start != position && platform::SeekFile(target, start, SEEK_SET) != 0)
            return false;
        position = start;
        ByteView piece;
        while (records.ReadBytes(&piece)) {
            const auto kept = static_cast<std::size_t>(
                std::clamp<std::int64_t>(limit - position, 0, std::int64_t(piece.size())));
            if (kept != 0 && platform::WriteFile(piece.data(), 1, kept, target) != kept)
                return false;
            position += static_cast<std::int64_t>(kept);
        }
        if (records.bytesLeft() != 0)
            return false;
    }
    return step == RecordStep::kEnd;
}

bool ModifyFile(const std::string& target, const EntryHead& head, EntryStream& entries) {
    std::FILE* file = platform::OpenFile(target, "rb+");
    if (file == nullptr)
        return false;  // modify entries never create a file
    const bool written = WriteRecords(entries, file);
    // A failing close means buffered bytes never reached the file.
    const bool closed = platform::CloseFile(file) == 0;
    return written && closed && SetFileLength(target, head.finalSize);
}

// Writes the first `length` bytes of the file at `path` (all of it when it
// is shorter) to `out`; false when the file cannot be opened or read whole.
bool CopyFilePrefix(const std::string& path, std::int64_t length, std::FILE* out) {
    std::int64_t left = std::min(length, platform::RegularFileSize(path));
    std::FILE* file = left < 0 ? nullptr : platform::OpenFile(path, "rb");
    if (file == nullptr)
        return false;  // modify entries never create a file
    std::vector<std::uint8_t> buffer(64 * 1024);
    while (left > 0) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::int64_t>(left, std::int64_t(buffer.size())));
        if (platform::ReadFile(buffer.data(), 1, wanted, file) != wanted ||
            !platform::WriteAllBytes(out, buffer.data(), wanted)) {
            break;
        }
        left -= static_cast<std::int64_t>(wanted);
    }
    platform::CloseFile(file);  // only read: a failing close loses nothing
    return left == 0;
}

// Lengthens `file` with zero bytes to `length`, as a length change would.
bool PadWithZeros(std::FILE* file, std::int64_t length) {
    if (platform::SeekFile(file, 0, SEEK_END) != 0)
        return false;
    static const std::uint8_t kZeros[4096] = {};
    for (std::int64_t at = platform::TellFile(file); at >= 0 && at < length;) {
        const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(length - at, 4096));
        if (!platform::WriteAllBytes(file, kZeros, piece))
            return false;
        at += static_cast<std::int64_t>(piece);
    }
    return platform::TellFile(file) >= length;
}

// A modify entry of the version file, or of a running program. Written in
// place, a power cut part-way could leave the commit record torn: neither the
// old version nor the new, perhaps a third one; and a running program cannot
// be written in place at all. So its new content is made beside it, as for an add
// entry: the old bytes the final length keeps, the records written over them
// (bytes past the final length dropped, as the length change would drop
// them), zeros up to the final length; and then moved over it.
bool ModifyThroughCopy(const std::string& target, const EntryHead& head, EntryStream& entries) {
    return platform::ReplaceFile(target, [&](std::FILE* staged) {
        return CopyFilePrefix(target, head.finalSize, staged) &&
               WriteRecords(entries, staged, head.finalSize) &&
               PadWithZeros(staged, head.finalSize);
    });
}

// Writes the entry's data as it is unpacked, a piece at a time.
bool CopyData(EntryStream& entries, std::FILE* file) {
    ByteView piece;
    while (entries.ReadData(SIZE_MAX, &piece)) {
        if (!platform::WriteAllBytes(file, piece.data(), piece.size()))
            return false;
    }
    return entries.dataLeft() == 0;
}

// Makes every folder on the way to `name` below the root, outermost first;
// the folder each was made in is synced with the batch's next commit. Only
// "/" separates here: a name written with "\" gets no folders made. False
// when a folder would be made through a link that leads outside the root.
bool CreateParentDirectories(const std::string& root, std::string_view name,
                             platform::ReplacementBatch& batch) {
    std::string parent = root;
    for (std::size_t slash = name.find('/'); slash != std::string_view::npos;
         slash = name.find('/', slash + 1)) {
        std::string directory = PathBelowRoot(root, name.substr(0, slash));
        NormalizePathSeparators(directory);
        if (!platform::ResolvesInside(root, directory))
            return false;
        // Existing folders fail harmlessly; a folder that could not be made
        // shows when the file inside it cannot be opened.
        if (platform::MakeDirectory(directory) == 0)
            batch.NoteFolderChange(parent);
        parent = std::move(directory);
    }
    return true;
}

// The new content is written beside the target and later moved over it in
// one step (platform::ReplacementBatch), so the target holds either its old
// content or all of the new: a full disk, a killed process or a power cut
// part-way never leaves it cut short. That matters most for the version file,
// the last entry of a package: left empty, it would read as no installed
// version at all, and no later run would repair the installation. A staged
// file left by a killed run has the same name the next run stages to, so
// applying the package again rewrites and moves it. `target` is the resolved
// file, so a link to it stays a link. Only when no file can be made beside
// the target (a folder that takes no new files, but whose files may be
// written) is the target written in place, without the protection of the
// move.
bool AddFile(const std::string& root, const std::string& target, const EntryHead& head,
             EntryStream& entries, platform::ReplacementBatch& batch) {
    if (!CreateParentDirectories(root, head.name, batch))
        return false;
    return batch.Stage(
        target, [&entries](std::FILE* file) { return CopyData(entries, file); },
        platform::ReplaceFallback::kWriteInPlace);
}

// A delta entry changes a file that is there, as a modify entry does; so do
// a remove entry and the check entry that guards a change.
Stage StageOf(EntryKind kind) {
    return kind == EntryKind::kAdd ? kStageAddingFile : kStageModifyingFile;
}

bool ApplyDelta(const std::string& target, EntryStream& entries) {
    DeltaPreamble preamble;
    return ReadDeltaHead(entries, &preamble) && ApplyDeltaEntry(target, preamble, entries);
}

// How one package's changes reach the disk. Add entries wait in a batch, so
// that many small files share their disk waits; modify and delta entries are
// synced as they are made. The version file is the package's commit record:
// every change before it is durable before it is replaced, and it is durable
// itself, with its folder, before the package counts as applied. A power cut
// at any moment so leaves either the old version file over whatever part of
// the package reached the disk (the next run applies the package again), or
// the new one over all of it.
class PackageChanges {
  public:
    // `wholeModifies`: every modify entry is made beside its target and moved
    // over it (see ChangeTarget).
    PackageChanges(const std::string& root, bool wholeModifies) : wholeModifies_(wholeModifies) {
        if (!platform::ResolvesInside(root, PathBelowRoot(root, kVersionFileEntryName),
                                      &versionFile_)) {
            versionFile_.clear();
        }
    }

    platform::ReplacementBatch& batch() { return batch_; }

    bool IsVersionFile(const std::string& target) const { return target == versionFile_; }
    bool wholeModifies() const { return wholeModifies_; }

    // Before an entry changes `target`: a staged file still waiting for it
    // goes first, since the entry reads it or replaces it; and before the
    // version file, everything does.
    bool BeforeEntry(const std::string& target) {
        return !(batch_.Holds(target) || target == versionFile_) || batch_.Commit();
    }

    // After an entry changed `target`: the version file reaches the disk at
    // once.
    bool AfterEntry(const std::string& target) { return target != versionFile_ || batch_.Commit(); }

    // Whatever still waits reaches the disk, also after a failed entry: the
    // entries before it stay applied.
    bool Commit() { return batch_.Commit(); }

  private:
    bool wholeModifies_;
    std::string versionFile_;  // resolved; empty when it cannot be
    platform::ReplacementBatch batch_;
};

bool ChangeTarget(const std::string& root, const std::string& target, const EntryHead& head,
                  EntryStream& entries, PackageChanges& changes) {
    // A read-only target becomes writable; for a file that does not exist yet
    // this does nothing.
    platform::ResetFileAttributes(target);
    switch (head.kind) {
        case EntryKind::kModify:
            // A running program (the updater itself, say) cannot be written
            // in place, but it can be replaced whole. So is every modify
            // entry of a package that may guard it with a check entry: a run
            // killed while writing in place would leave a file that is
            // neither old nor new, and the check would then refuse the
            // package on every later run instead of letting it converge.
            return changes.wholeModifies() || changes.IsVersionFile(target) ||
                           platform::HeldByRunningProgram(target)
                       ? ModifyThroughCopy(target, head, entries)
                       : ModifyFile(target, head, entries);
        case EntryKind::kDelta:
            return ApplyDelta(target, entries);
        case EntryKind::kAdd:
            break;
        case EntryKind::kCheck:
        case EntryKind::kRemove:
            return false;  // never reach here: ApplyEntry takes them
    }
    return AddFile(root, target, head, entries, changes.batch());
}

// The name itself goes, not what a link leads to, so the target is not
// resolved as for the other entries (PlanRemove resolves its folder). The
// folder is synced at once, so a power cut never keeps a removed file under
// the new version file; not with the batch, since the next entry may remove
// that folder itself, which could then no longer be synced.
bool RemoveEntry(const std::string& root, const EntryHead& head, EntryStream& entries,
                 PackageChanges& changes) {
    std::optional<FileIdentity> expected;
    if (!ReadRemoveFields(entries, &expected))
        return false;
    const RemovePlan plan = PlanRemove(root, head.name, expected);
    if (plan.action == RemoveAction::kRefuse || !changes.BeforeEntry(plan.path) ||
        !CarryOutRemove(plan)) {
        return false;
    }
    return plan.action == RemoveAction::kNothing || platform::SyncFolder(plan.folder) == 0;
}

bool ApplyEntry(const std::string& root, const EntryHead& head, EntryStream& entries,
                PackageChanges& changes, StatusCallback statusCallback) {
    Report(statusCallback, StageOf(head.kind));
    // A check entry was judged by the checking pass; it changes nothing.
    if (head.kind == EntryKind::kCheck)
        return true;
    if (head.kind == EntryKind::kRemove)
        return RemoveEntry(root, head, entries, changes);
    // Links below the root are followed, and the entry works on the file they
    // lead to; a link that leads outside the root fails the entry before
    // anything is changed, its target's attributes included.
    std::string target;
    if (!platform::ResolvesInside(root, PathBelowRoot(root, head.name), &target))
        return false;
    return changes.BeforeEntry(target) && ChangeTarget(root, target, head, entries, changes) &&
           changes.AfterEntry(target);
}

// A delta entry can only be applied to the file it was made from, and an
// installation that holds something else there (a file changed by hand, or
// by a package that was never applied) must not be half updated: entries
// before the delta entry would be applied, and the run would fail at it. So
// the checking pass judges every delta entry's target before anything is
// applied, resolved as the applying pass will resolve it, and runs the delta
// against it without writing anything. A target that is neither the old nor
// the new file, or a delta that does not make the new file, refuses the
// package with nothing changed.
bool CheckDeltaTarget(const std::string& root, const EntryHead& head, const DeltaPreamble& preamble,
                      EntryStream& entries) {
    std::string target;
    return platform::ResolvesInside(root, PathBelowRoot(root, head.name), &target) &&
           CheckDeltaEntry(target, preamble, entries);
}

// Room the file system may take beyond an entry's bytes: the last block of
// the file, rounded up, and a share of its folder's and its inode's growth.
constexpr std::uint64_t kRoomPerEntry = 8 * 1024;
// Room kept free whatever the package: a volume filled to its last byte
// fails the writes of everything else on it, the updater's own included.
constexpr std::uint64_t kSpareRoom = 1024 * 1024;

// The most an entry can add to the volume while it is applied: an add
// entry's whole content and a delta entry's new file (each is written beside
// the file it replaces, which goes only at the move), and what a modify entry
// adds to its target's length, or its whole new length when it is made
// beside the target. Check and remove entries take nothing.
std::uint64_t RoomForEntry(const std::string& root, const CheckedEntry& entry,
                           const EntryStream& entries, bool wholeModifies) {
    const EntryHead& head = entry.head;
    std::uint64_t bytes = 0;
    switch (head.kind) {
        case EntryKind::kAdd:
            bytes = entries.dataLeft();
            break;
        case EntryKind::kDelta:
            bytes = entry.preamble->newSize;
            break;
        case EntryKind::kCheck:
        case EntryKind::kRemove:
            return 0;
        case EntryKind::kModify: {
            if (wholeModifies) {
                bytes = static_cast<std::uint64_t>(std::max<std::int32_t>(head.finalSize, 0));
                break;
            }
            std::string target;
            const std::int64_t now =
                platform::ResolvesInside(root, PathBelowRoot(root, head.name), &target)
                    ? platform::RegularFileSize(target)
                    : -1;
            bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(
                0, std::int64_t{head.finalSize} - std::max<std::int64_t>(now, 0)));
            break;
        }
    }
    return bytes + kRoomPerEntry;
}

// The room the entries of a package need, as the checking pass meets them.
// The pass meets the first malformed entry too, but only when its head can
// be read; it is never applied, so its room does not count.
class RoomTally {
  public:
    void Add(std::uint64_t bytes) {
        total_ += bytes;
        last_ = bytes;
        ++entries_;
    }
    std::uint64_t ForEntries(std::uint64_t applied) const {
        return entries_ > applied ? total_ - last_ : total_;
    }

  private:
    std::uint64_t total_ = 0;
    std::uint64_t last_ = 0;
    std::uint64_t entries_ = 0;
};

// Whether the installation's volume can take `bytes` more and keep its spare
// room. A volume that cannot be asked is given the benefit of the doubt: the
// writes themselves still fail cleanly if it is full.
bool HasRoomFor(const std::string& root, std::uint64_t bytes) {
    const std::int64_t available = platform::AvailableSpace(root);
    return available < 0 || bytes + kSpareRoom <= static_cast<std::uint64_t>(available);
}

// The applying pass: the entries the checking pass found good, then the
// failure of the malformed one after them, if any. The reader checks every
// name again, so a package file changed between the passes still cannot
// reach outside the root.
bool ApplyEntries(const std::string& root, PayloadSource& source, const PackageHeader& header,
                  const PayloadCheck& check, StatusCallback statusCallback) {
    PayloadReader payload(&source, header.unpackedSize);
    const bool checkedEntries = CodecOf(header.codec).deltaEntries;
    EntryStream entries(&payload, checkedEntries);
    PackageChanges changes(root, checkedEntries);
    EntryHead head;
    for (std::uint64_t index = 0; index < check.goodEntries; ++index) {
        if (entries.NextHead(&head) != WalkStep::kEntry ||
            !ApplyEntry(root, head, entries, changes, statusCallback)) {
            changes.Commit();
            return false;
        }
    }
    if (!changes.Commit())
        return false;
    // A broken entry is reported like one that fails while being applied: its
    // stage first, so the failure that follows is pinned on it.
    if (check.malformedKind)
        Report(statusCallback, StageOf(*check.malformedKind));
    return !check.malformed;
}

}  // namespace

// The payload is read twice, and only the second time applied. bzip2 finds a
// damaged block only when it reaches it, and the stream's length shows only
// at its end, so a package whose last block is broken would otherwise be
// applied half before it could be refused. The first pass reads the whole
// stream through the same bounded windows and applies nothing; a package
// that passes it is applied, one that fails it has changed nothing.
bool ApplyPatchPackage(const InstallationFolders& folders, const std::string& packageFileName,
                       PackedVersion expectedVersion, StatusCallback statusCallback,
                       ErrorCode* failure) {
    ErrorCode ignored = kOk;
    ErrorCode& why = failure != nullptr ? *failure : ignored;
    why = kApplyFailed;
    Report(statusCallback, kStagePackageOpening);
    OpenedPackage package =
        OpenPackageFile(folders.downloadDir + "/" + packageFileName, expectedVersion);
    if (package.opening != PackageOpening::kOpened)
        return false;
    const PackageHeader& header = package.header;
    std::unique_ptr<PayloadSource>& payload = package.payload;
    Report(statusCallback, kStagePackageRead);
    const std::string& root = folders.installRoot;
    RoomTally room;
    const bool checkedEntries = CodecOf(header.codec).deltaEntries;
    const PayloadCheck check = CheckPayload(
        *payload, header.unpackedSize, checkedEntries,
        [&root, &room, checkedEntries](const CheckedEntry& entry, EntryStream& entries) {
            const EntryHead& head = entry.head;
            // A name this file system cannot hold (a Windows device name)
            // would write somewhere else than it says, or fail half-way
            // through the package: refused before anything changes.
            if (!platform::FileSystemCanHoldName(head.name))
                return false;
            room.Add(RoomForEntry(root, entry, entries, checkedEntries));
            switch (head.kind) {
                case EntryKind::kDelta:
                    return CheckDeltaTarget(root, head, *entry.preamble, entries);
                case EntryKind::kCheck:
                    return CheckFileVersions(root, head.name, *entry.checkFields);
                case EntryKind::kRemove:
                    return PlanRemove(root, head.name, entry.expected).action !=
                           RemoveAction::kRefuse;
                case EntryKind::kAdd:
                case EntryKind::kModify:
                    break;
            }
            return true;
        });
    if (!check.intact || !payload->Rewind())
        return false;
    // A disk that fills up part-way would leave the package half applied
    // until room is made; refused here, nothing has changed yet.
    if (!HasRoomFor(root, room.ForEntries(check.goodEntries))) {
        why = kNoRoomForPackage;
        return false;
    }
    Report(statusCallback, kStagePayloadReady);

    const bool applied = ApplyEntries(root, *payload, header, check, statusCallback);
    payload.reset();  // closes the package file
    // Also after a failed walk: entries before the failure are in place, and
    // a script they delivered belongs to them.
    RunPostUpdateScriptIfPresent(folders.installRoot);
    if (applied)
        why = kOk;
    return applied;
}

std::string PathBelowRoot(const std::string& root, std::string_view name) {
    std::string path = root;
    if (!path.empty() && path.back() != '/' && path.back() != '\\')
        path += '/';
    path.append(name);
    return path;
}

void NormalizePathSeparators(std::string& path) {
    std::replace(path.begin(), path.end(), '/', '\\');
}
