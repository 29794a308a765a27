#include "patch/delta_entry.h"

#include <cstdio>
#include <new>

#include "delta/delta_applier.h"
#include "platform/platform.h"
#include "platform/replace_file.h"
#include "trust/sha256.h"

namespace {

enum class TargetState { kOldFile, kNewFile, kOther };

// Reads the open file whole into `*bytes` when it has the old or the new
// file's length; false when it has neither, or cannot be read or held.
bool ReadOpenFile(std::FILE* file, const DeltaPreamble& preamble, ByteBuffer* bytes) {
    if (platform::SeekFile(file, 0, SEEK_END) != 0)
        return false;
    const std::int64_t length = platform::TellFile(file);
    if (length < 0 ||
        (static_cast<std::uint64_t>(length) != preamble.oldSize &&
         static_cast<std::uint64_t>(length) != preamble.newSize) ||
        static_cast<std::uint64_t>(length) > SIZE_MAX ||
        platform::SeekFile(file, 0, SEEK_SET) != 0 ||
        !bytes->Allocate(static_cast<std::size_t>(length))) {
        return false;
    }
    return platform::ReadFile(bytes->data(), 1, bytes->size(), file) == bytes->size();
}

// What `target` holds, judged by length first (so a file of neither length is
// never read whole) and then by digest. The old file's bytes stay in
// `*bytes`, for the delta to copy from.
TargetState JudgeTarget(const std::string& target, const DeltaPreamble& preamble,
                        ByteBuffer* bytes) {
    std::FILE* file = platform::OpenFile(target, "rb");
    if (file == nullptr)
        return TargetState::kOther;
    const bool read = ReadOpenFile(file, preamble, bytes);
    platform::CloseFile(file);  // only read: a failing close loses nothing
    if (!read)
        return TargetState::kOther;
    const Sha256Digest digest =
        Sha256Of({reinterpret_cast<const char*>(bytes->data()), bytes->size()});
    if (bytes->size() == preamble.newSize && digest == preamble.newDigest)
        return TargetState::kNewFile;
    if (bytes->size() == preamble.oldSize && digest == preamble.oldDigest)
        return TargetState::kOldFile;
    return TargetState::kOther;
}

// Feeds the rest of the entry's data to an applier over the old file's bytes.
// Its output goes to `file` unless that is null, and is hashed either way.
// True when the delta ends cleanly and its output has the new digest.
bool RunDelta(ByteView oldBytes, const DeltaPreamble& preamble, EntryStream& entries,
              std::FILE* file) {
    Sha256 hash;
    DeltaApplier applier(oldBytes, preamble.newSize,
                         [&hash, file](const std::uint8_t* bytes, std::size_t size) {
                             hash.Update(bytes, size);
                             return file == nullptr || platform::WriteAllBytes(file, bytes, size);
                         });
    if (!applier.Feed(preamble.deltaHeader.data(), preamble.deltaHeader.size()))
        return false;
    ByteView piece;
    while (entries.ReadData(SIZE_MAX, &piece)) {
        if (!applier.Feed(piece.data(), piece.size()))
            return false;
    }
    return entries.dataLeft() == 0 && applier.Finish() && hash.Finish() == preamble.newDigest;
}

}  // namespace

bool CheckDeltaEntry(const std::string& target, const DeltaPreamble& preamble,
                     EntryStream& entries) {
    try {
        ByteBuffer oldBytes;
        switch (JudgeTarget(target, preamble, &oldBytes)) {
            case TargetState::kNewFile:
                return true;
            case TargetState::kOldFile:
                return RunDelta(oldBytes.view(), preamble, entries, nullptr);
            case TargetState::kOther:
                break;
        }
    } catch (const std::bad_alloc&) {
        // The digest's state could not be had: as refused as a wrong file.
    }
    return false;
}

// The staged file takes the new content; with no room for one beside the
// target the entry fails rather than write the target in place, because a
// delta cut short there would leave neither the old file nor the new one.
bool ApplyDeltaEntry(const std::string& target, const DeltaPreamble& preamble,
                     EntryStream& entries) {
    try {
        ByteBuffer oldBytes;
        switch (JudgeTarget(target, preamble, &oldBytes)) {
            case TargetState::kNewFile:
                return true;  // the rest of the data is skipped with the entry
            case TargetState::kOldFile:
                return platform::ReplaceFile(target, [&](std::FILE* file) {
                    return RunDelta(oldBytes.view(), preamble, entries, file);
                });
            case TargetState::kOther:
                break;
        }
    } catch (const std::bad_alloc&) {
    }
    return false;
}
