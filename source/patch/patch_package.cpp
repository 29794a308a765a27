#include "patch/patch_package.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "patch/package_format.h"
#include "patch/post_update_script.h"
#include "platform/platform.h"

std::string InstallRoot = "./";
std::string DownloadDir = "./download";

namespace {

// Appended to a target's name for the file its new content is written to.
constexpr const char* kStagedFileSuffix = ".updating";

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
void CreateParentDirectories(std::string_view name) {
    for (std::size_t slash = name.find('/'); slash != std::string_view::npos;
         slash = name.find('/', slash + 1)) {
        std::string directory = InstallRoot;
        directory.append(name.substr(0, slash));
        NormalizePathSeparators(directory);
        // Existing folders fail harmlessly; a folder that could not be made
        // shows when the file inside it cannot be opened.
        platform::MakeDirectory(directory);
    }
}

// The new content is written beside the target and then moved over it in one
// step, so the target holds either its old content or all of the new: a full
// disk or a killed process part-way never leaves it cut short. That matters
// most for the version file, the last entry of a package: left empty, it
// would read as no installed version at all, and no later run would repair
// the installation. A staged file left by a killed run is rewritten when the
// package is applied again.
bool AddFile(const std::string& target, const PackageEntry& entry) {
    CreateParentDirectories(entry.name);
    const std::string staged = target + kStagedFileSuffix;
    std::FILE* file = platform::OpenFile(staged, "wb+");
    if (file == nullptr)
        return false;
    const bool written = entry.data.empty() ||
                         platform::WriteFile(entry.data.data(), entry.data.size(), 1, file) == 1;
    const bool closed = platform::CloseFile(file) == 0;
    if (written && closed && platform::MoveFileOver(staged, target) == 0)
        return true;
    platform::RemoveFile(staged);
    return false;
}

bool ApplyEntry(const PackageEntry& entry, StatusCallback statusCallback) {
    std::string target = InstallRoot;
    target.append(entry.name);
    // A read-only target becomes writable; for a file that does not exist yet
    // this does nothing.
    platform::ResetFileAttributes(target);
    if (entry.kind == EntryKind::kModify) {
        Report(statusCallback, kStageModifyingFile);
        return ModifyFile(target, entry);
    }
    Report(statusCallback, kStageAddingFile);
    return AddFile(target, entry);
}

bool ApplyEntries(ByteView payload, StatusCallback statusCallback) {
    EntryWalker walker(payload);
    PackageEntry entry;
    WalkStep step = WalkStep::kEntry;
    while ((step = walker.Next(&entry)) == WalkStep::kEntry) {
        if (!ApplyEntry(entry, statusCallback))
            return false;
    }
    return step == WalkStep::kEnd;
}

void RunPostUpdateScriptIfPresent() {
    std::FILE* script = platform::OpenFile(kPostUpdateScriptName, "rb");
    if (script != nullptr)
        RunPostUpdateScript(script);
}

}  // namespace

bool ApplyPatchPackage(const std::string& packageFileName, PackedVersion expectedVersion,
                       StatusCallback statusCallback) {
    Report(statusCallback, kStagePackageOpening);
    PackageHeader header;
    ByteBuffer compressed;
    if (!ReadPackageFile(DownloadDir + "/" + packageFileName, expectedVersion, &header,
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

    const bool applied = ApplyEntries(unpacked.view(), statusCallback);
    unpacked.Release();
    // Also after a failed walk: entries before the failure are in place, and
    // a script they delivered belongs to them.
    RunPostUpdateScriptIfPresent();
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

void NormalizePathSeparators(std::string& path) {
    std::replace(path.begin(), path.end(), '/', '\\');
}
