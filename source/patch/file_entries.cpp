#include "patch/file_entries.h"

#include <new>
#include <string_view>
#include <vector>

#include "patch/patch_package.h"
#include "platform/platform.h"
#include "trust/sha256.h"

bool FileMatches(const std::string& path, const FileIdentity& file) {
    const std::int64_t size = platform::RegularFileSize(path);
    if (size < 0 || static_cast<std::uint64_t>(size) != file.size)
        return false;
    std::FILE* stream = platform::OpenFile(path, "rb");
    if (stream == nullptr)
        return false;
    bool read = true;
    Sha256Digest digest{};
    try {
        Sha256 hash;
        std::vector<std::uint8_t> buffer(64 * 1024);
        std::uint64_t total = 0;
        std::size_t got = 0;
        while ((got = platform::ReadFile(buffer.data(), 1, buffer.size(), stream)) != 0) {
            hash.Update(buffer.data(), got);
            total += got;
        }
        read = total == file.size;
        digest = hash.Finish();
    } catch (const std::bad_alloc&) {
        read = false;  // as unproven as a wrong file
    }
    platform::CloseFile(stream);  // only read: a failing close loses nothing
    return read && digest == file.digest;
}

bool CheckFileVersions(const std::string& root, const std::string& name,
                       const CheckFields& fields) {
    std::string target;
    return platform::ResolvesInside(root, PathBelowRoot(root, name), &target) &&
           (FileMatches(target, fields.newFile) || FileMatches(target, fields.oldFile));
}

RemovePlan PlanRemove(const std::string& root, const std::string& name,
                      const std::optional<FileIdentity>& expected) {
    RemovePlan plan;
    const std::size_t separator = name.find_last_of("/\\");
    const std::string_view last = separator == std::string::npos
                                      ? std::string_view(name)
                                      : std::string_view(name).substr(separator + 1);
    if (last.empty() || last == ".")
        return plan;
    const std::string folder =
        separator == std::string::npos
            ? root
            : PathBelowRoot(root, std::string_view(name).substr(0, separator));
    if (!platform::ResolvesInside(root, folder, &plan.folder))
        return plan;
    plan.path = PathBelowRoot(plan.folder, last);
    switch (platform::NodeAt(plan.path)) {
        case platform::NodeKind::kNothing:
            plan.action = RemoveAction::kNothing;
            break;
        case platform::NodeKind::kFile:
            if (!expected || FileMatches(plan.path, *expected))
                plan.action = RemoveAction::kRemoveFile;
            break;
        case platform::NodeKind::kLink:
            if (!expected)
                plan.action = RemoveAction::kRemoveFile;
            break;
        case platform::NodeKind::kFolder:
            if (!expected)
                plan.action = RemoveAction::kRemoveFolder;
            break;
        case platform::NodeKind::kOther:
            break;
    }
    return plan;
}

bool CarryOutRemove(const RemovePlan& plan) {
    switch (plan.action) {
        case RemoveAction::kNothing:
            return true;
        case RemoveAction::kRemoveFile:
            // A link to a folder is a folder to Windows, removed as one.
            return platform::RemoveFile(plan.path) == 0 || platform::RemoveFolder(plan.path) == 0;
        case RemoveAction::kRemoveFolder:
            // A folder that still holds something (a file the user put there)
            // stays: the release no longer needs it, but what is in it is not
            // the package's to remove.
            platform::RemoveFolder(plan.path);
            return true;
        case RemoveAction::kRefuse:
            break;
    }
    return false;
}
