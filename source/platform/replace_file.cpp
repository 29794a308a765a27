#include "platform/replace_file.h"

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

bool WriteAndClose(std::FILE* file, const std::function<bool(std::FILE*)>& writeContent) {
    const bool written = writeContent(file);
    // A failing close means buffered bytes never reached the file.
    const bool closed = CloseFile(file) == 0;
    return written && closed;
}

bool WriteInPlace(const std::string& target, const std::function<bool(std::FILE*)>& writeContent) {
    std::FILE* file = OpenFile(target, "wb");
    return file != nullptr && WriteAndClose(file, writeContent);
}

}  // namespace

bool ReplaceFile(const std::string& target, const std::function<bool(std::FILE*)>& writeContent,
                 ReplaceFallback fallback) {
    const std::string staged = StagedPathOf(target);
    // Whatever stands at the staged name (a file a killed process left, or a
    // link planted there) goes first, and the staged file is then made anew:
    // opened through a link, it would carry the content wherever that leads.
    RemoveFile(staged);
    std::FILE* file = OpenFile(staged, "wbx");
    if (file == nullptr)
        return fallback == ReplaceFallback::kWriteInPlace && WriteInPlace(target, writeContent);
    if (WriteAndClose(file, writeContent) && MoveFileOver(staged, target) == 0)
        return true;
    RemoveFile(staged);
    return false;
}

bool WriteAllBytes(std::FILE* file, const void* data, std::size_t size) {
    return size == 0 || WriteFile(data, size, 1, file) == 1;
}

}  // namespace platform
