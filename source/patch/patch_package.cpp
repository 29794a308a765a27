#include "patch/patch_package.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "patch/package_format.h"
#include "patch/post_update_script.h"
#include "platform/platform.h"
#include "platform/replace_file.h"

namespace {

void Report(StatusCallback statusCallback, Stage stage) {
    if (statusCallback != nullptr)
        statusCallback(StageWord(stage));
}

// Reads the header and the compressed payload of an open package file.
bool ReadOpenPackage(std::FILE* file, PackedVersion expectedVersion, PackageHeader* header,
                     ByteBuffer* payload) {
    if (platform::SeekFile(file, 0, SEEK_END) != 0)
        return false;
    const std::int64_t length = platform::TellFile(file);
    if (length < static_cast<std::int64_t>(kPackageHeaderSize) ||
        platform::SeekFile(file, 0, SEEK_SET) != 0) {
        return false;
    }
    std::uint8_t headerBytes[kPackageHeaderSize];
    if (platform::ReadFile(headerBytes, 1, kPackageHeaderSize, file) != kPackageHeaderSize ||
        !ReadPackageHeader(headerBytes, header) || header->version != expectedVersion) {
        return false;
    }
    const std::uint64_t payloadLength = static_cast<std::uint64_t>(length) - kPackageHeaderSize;
    if (payloadLength > SIZE_MAX || !payload->Allocate(static_cast<std::size_t>(payloadLength))) {
        return false;
    }
    return platform::ReadFile(payload->data(), 1, payload->size(), file) == payload->size();
}

bool ReadPackageFile(const std::string& path, PackedVersion expectedVersion, PackageHeader* header,
                     ByteBuffer* payload) {
    std::FILE* file = platform::OpenFile(path, "rb");
    if (file == nullptr)
        return false;
    const bool read = ReadOpenPackage(file, expectedVersion, header, payload);
    // The file was only read and its bytes are in memory by now, so a failing
    // close loses nothing.
    platform::CloseFile(file);
    if (!read)
        payload->Release();
    return read;
}

bool SetFileLength(const std::string& path, std::int64_t length) {
    const int descriptor = platform::OpenReadWrite(path);
    if (descriptor < 0)
        return false;
    const bool changed = platform::ChangeFileSize(descriptor, length) == 0;
    const bool closed = platform::CloseDescriptor(descriptor) == 0;
    return changed && closed;
}

bool ModifyFile(const std::string& target, const PackageEntry& entry) {
    std::FILE* file = platform::OpenFile(target, "rb+");
    if (file == nullptr)
        return false;  // modify entries never create a file
    const bool written =
        ApplyDiffRecords(entry.data.data(), static_cast<std::uint32_t>(entry.data.size()), file);
    // A failing close means buffered bytes never reached the file.
    const bool closed = platform::CloseFile(file) == 0;
    return written && closed && SetFileLength(target, entry.finalSize);
}

// Makes every folder on the way to `name` below the root, outermost first.
// Only "/" separates here: a name written with "\" gets no folders made.
// False when a folder would be made through a link that leads outside the
// root.
bool CreateParentDirectories(const std::string& root, std::string_view name) {
    for (std::size_t slash = name.find('/'); slash != std::string_view::npos;
         slash = name.find('/', slash + 1)) {
        std::string directory = PathBelowRoot(root, name.substr(0, slash));
        NormalizePathSeparators(directory);
        if (!platform::ResolvesInside(root, directory))
            return false;
        // Existing folders fail harmlessly; a folder that could not be made
        // shows when the file inside it cannot be opened.
        platform::MakeDirectory(directory);
    }
    return true;
}

// The new content is written beside the target and then moved over it in one
// step (platform::ReplaceFile), so the target holds either its old content or
// all of the new: a full disk or a killed process part-way never leaves it cut
// short. That matters most for the version file, the last entry of a package:
// left empty, it would read as no installed version at all, and no later run
// would repair the installation. A staged file left by a killed run has the
// same name the next run stages to, so applying the package again rewrites
// and moves it. `target` is the resolved file, so a link to it stays a link.
// Only when no file can be made beside the target (a folder that takes no new
// files, but whose files may be written) is the target written in place,
// without the protection of the move.
bool AddFile(const std::string& root, const std::string& target, const PackageEntry& entry) {
    if (!CreateParentDirectories(root, entry.name))
        return false;
    const ByteView data = entry.data;
    return platform::ReplaceFile(
        target,
        [data](std::FILE* file) { return platform::WriteAllBytes(file, data.data(), data.size()); },
        platform::ReplaceFallback::kWriteInPlace);
}

Stage StageOf(EntryKind kind) {
    return kind == EntryKind::kModify ? kStageModifyingFile : kStageAddingFile;
}

bool ApplyEntry(const std::string& root, const PackageEntry& entry, StatusCallback statusCallback) {
    Report(statusCallback, StageOf(entry.kind));
    // Links below the root are followed, and the entry works on the file they
    // lead to; a link that leads outside the root fails the entry before
    // anything is changed, its target's attributes included.
    std::string target;
    if (!platform::ResolvesInside(root, PathBelowRoot(root, entry.name), &target))
        return false;
    // A read-only target becomes writable; for a file that does not exist yet
    // this does nothing.
    platform::ResetFileAttributes(target);
    return entry.kind == EntryKind::kModify ? ModifyFile(target, entry)
                                            : AddFile(root, target, entry);
}

bool ApplyEntries(const std::string& root, ByteView payload, StatusCallback statusCallback) {
    EntryWalker walker(payload);
    PackageEntry entry;
    WalkStep step = WalkStep::kEntry;
    while ((step = walker.Next(&entry)) == WalkStep::kEntry) {
        if (!ApplyEntry(root, entry, statusCallback))
            return false;
    }
    // A broken entry is reported like one that fails while being applied: its
    // stage first, so the failure that follows is pinned on it.
    if (const std::optional<EntryKind> kind = walker.failedKind())
        Report(statusCallback, StageOf(*kind));
    return step == WalkStep::kEnd;
}

}  // namespace

bool ApplyPatchPackage(const InstallationFolders& folders, const std::string& packageFileName,
                       PackedVersion expectedVersion, StatusCallback statusCallback) {
    Report(statusCallback, kStagePackageOpening);
    PackageHeader header;
    ByteBuffer compressed;
    if (!ReadPackageFile(folders.downloadDir + "/" + packageFileName, expectedVersion, &header,
                         &compressed)) {
        return false;
    }
    Report(statusCallback, kStagePackageRead);
    ByteBuffer unpacked;
    if (!DecompressPayload(header.codec, compressed.view(), header.unpackedSize, &unpacked)) {
        return false;
    }
    Report(statusCallback, kStagePayloadReady);
    compressed.Release();

    const bool applied = ApplyEntries(folders.installRoot, unpacked.view(), statusCallback);
    unpacked.Release();
    // Also after a failed walk: entries before the failure are in place, and
    // a script they delivered belongs to them.
    RunPostUpdateScriptIfPresent(folders.installRoot);
    return applied;
}

bool ApplyDiffRecords(const std::uint8_t* data, std::uint32_t length, std::FILE* target) {
    DiffRecordReader reader(ByteView(data, length));
    DiffRecord record;
    RecordStep step = RecordStep::kRecord;
    std::int64_t position = -1;  // where the stream stands; unknown before the first seek
    while ((step = reader.Next(&record)) == RecordStep::kRecord) {
        // Records that follow each other directly need no seek; skipping it
        // keeps the stream's buffer instead of flushing it for every record.
        if (record.position != position &&
            platform::SeekFile(target, record.position, SEEK_SET) != 0) {
            return false;
        }
        const std::size_t count = record.bytes.size();
        if (count != 0 && platform::WriteFile(record.bytes.data(), 1, count, target) != count) {
            return false;
        }
        position = record.position + static_cast<std::int64_t>(count);
    }
    return step == RecordStep::kEnd;
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
