#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/fault_injection_internal.h"
#include "platform/posix/native_path.h"

namespace platform {
namespace {

// As many links as the kernel itself follows in one lookup before it gives up.
constexpr int kMaxLinksFollowed = 40;

using Components = std::vector<std::string>;

// The names of a native path, without empty ones and ".".
Components SplitPath(const std::string& native) {
    Components names;
    std::size_t start = 0;
    while (start <= native.size()) {
        const std::size_t end = std::min(native.find('/', start), native.size());
        std::string name = native.substr(start, end - start);
        if (!name.empty() && name != ".")
            names.push_back(std::move(name));
        start = end + 1;
    }
    return names;
}

// The path made of the first `count` names; "." or "/" for none.
std::string JoinPath(bool absolute, const Components& names, std::size_t count) {
    std::string path = absolute ? "/" : "";
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0)
            path += '/';
        path += names[i];
    }
    return path.empty() ? "." : path;
}

std::optional<std::string> RealPath(const std::string& native) {
    char* real = realpath(native.c_str(), nullptr);
    if (real == nullptr)
        return std::nullopt;
    std::string result(real);
    std::free(real);
    return result;
}

std::optional<std::string> ReadLink(const std::string& native) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(native.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size())
        return std::nullopt;
    target.resize(static_cast<std::size_t>(length));
    return target;
}

// `base` (resolved) with the names that do not exist yet added. A ".." among
// them cannot be judged before the folder it steps out of exists.
std::optional<std::string> AppendMissing(std::string base, const Components& names,
                                         std::size_t from) {
    for (std::size_t i = from; i < names.size(); ++i) {
        if (names[i] == "..")
            return std::nullopt;
        if (base.back() != '/')
            base += '/';
        base += names[i];
    }
    return base;
}

// Where `native` leads (see ResolvesInside). The longest leading run of names
// that exists decides; its last name is looked at as itself first, so that a
// dangling link there is seen instead of taken for a missing file.
std::optional<std::string> Resolve(const std::string& native, int linksLeft) {
    const bool absolute = !native.empty() && native.front() == '/';
    const Components names = SplitPath(native);
    for (std::size_t count = names.size();; --count) {
        const std::string existing = JoinPath(absolute, names, count);
        struct stat info {};
        if (lstat(existing.c_str(), &info) != 0) {
            // Only a missing name makes a shorter part worth a look.
            if ((errno != ENOENT && errno != ENOTDIR) || count == 0)
                return std::nullopt;
            continue;
        }
        struct stat followed {};
        if (!S_ISLNK(info.st_mode) || stat(existing.c_str(), &followed) == 0) {
            const std::optional<std::string> real = RealPath(existing);
            return real ? AppendMissing(*real, names, count) : std::nullopt;
        }
        // A dangling link (or a loop): opening it for writing would make the
        // file it names, so that name is what counts.
        const std::optional<std::string> target = ReadLink(existing);
        if (!target || linksLeft == 0)
            return std::nullopt;
        std::string next =
            target->front() == '/' ? *target : JoinPath(absolute, names, count - 1) + "/" + *target;
        for (std::size_t i = count; i < names.size(); ++i)
            next += "/" + names[i];
        return Resolve(next, linksLeft - 1);
    }
}

// Tells the disk observer, if there is one, of a change to a name (test
// variant only).
void NotifyName(DiskChange kind, const std::string& native, const std::string& target = {}) {
    if constexpr (kTestHooks) {
        if (!DiskObserved())
            return;
        DiskEvent event;
        event.kind = kind;
        event.path = native;
        event.target = target;
        Notify(event);
    }
}

// Modes that may make the file or cut it: every one but "r" and "r+".
bool MayCreate(const char* mode) {
    return std::strchr(mode, 'w') != nullptr || std::strchr(mode, 'a') != nullptr;
}

// A sync the fault hook makes fail, as on a full disk.
int InjectedSyncFailure() {
    errno = ENOSPC;
    return -1;
}

// Syncs the data of the file open as `descriptor` (through `file`, when it
// is a stream whose buffer was flushed).
int SyncOpenFile(std::FILE* file, int descriptor) {
    if (SyncsSkipped())
        return 0;
    if (fdatasync(descriptor) != 0)
        return -1;
    NotifyOpenFile(DiskChange::kSyncFile, file, descriptor);
    return 0;
}

bool IsAtOrBelow(const std::string& path, const std::string& folder) {
    if (path.compare(0, folder.size(), folder) != 0)
        return false;
    return path.size() == folder.size() || folder.back() == '/' || path[folder.size()] == '/';
}

}  // namespace

std::FILE* OpenFile(const std::string& path, const char* mode) {
    if (ShouldFail(FaultKind::kOpen))
        return nullptr;
    const std::string native = NativePath(path);
    if (MayCreate(mode))
        NotifyName(DiskChange::kCreateFile, native);
    return std::fopen(native.c_str(), mode);
}

std::FILE* CreatePrivateFile(const std::string& path) {
    if (ShouldFail(FaultKind::kOpen))
        return nullptr;
    const std::string native = NativePath(path);
    NotifyName(DiskChange::kCreateFile, native);
    // O_EXCL also refuses a link standing at the path, dangling or not.
    const int descriptor = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr)
        close(descriptor);
    return file;
}

std::size_t ReadFile(void* buffer, std::size_t size, std::size_t count, std::FILE* file) {
    return std::fread(buffer, size, count, file);
}

std::size_t WriteFile(const void* data, std::size_t size, std::size_t count, std::FILE* file) {
    if (ShouldFail(FaultKind::kWrite)) {
        errno = ENOSPC;
        return 0;
    }
    NotifyOpenFile(DiskChange::kWrite, file, -1, data, static_cast<std::uint64_t>(size) * count);
    return std::fwrite(data, size, count, file);
}

int SeekFile(std::FILE* file, std::int64_t offset, int whence) {
    if (ShouldFail(FaultKind::kSeek))
        return -1;
    return fseeko(file, static_cast<off_t>(offset), whence);
}

std::int64_t TellFile(std::FILE* file) {
    return static_cast<std::int64_t>(ftello(file));
}

int CloseFile(std::FILE* file) {
    const bool fail = ShouldFail(FaultKind::kClose);
    const int result = std::fclose(file);  // the stream is released either way
    return fail ? EOF : result;
}

int OpenReadWrite(const std::string& path) {
    if (ShouldFail(FaultKind::kOpen))
        return -1;
    return open(NativePath(path).c_str(), O_RDWR | O_CLOEXEC);
}

int ChangeFileSize(int descriptor, std::int64_t size) {
    if (ShouldFail(FaultKind::kChangeSize))
        return -1;
    NotifyOpenFile(DiskChange::kChangeSize, nullptr, descriptor, nullptr,
                   static_cast<std::uint64_t>(size));
    return ftruncate(descriptor, static_cast<off_t>(size));
}

int CloseDescriptor(int descriptor) {
    const bool fail = ShouldFail(FaultKind::kClose);
    const int result = close(descriptor);
    return fail ? -1 : result;
}

int MakeDirectory(const std::string& path) {
    if (ShouldFail(FaultKind::kMakeDirectory))
        return -1;
    const std::string native = NativePath(path);
    NotifyName(DiskChange::kMakeFolder, native);
    return mkdir(native.c_str(), 0755);
}

int RemoveFile(const std::string& path) {
    const std::string native = NativePath(path);
    NotifyName(DiskChange::kRemove, native);
    return std::remove(native.c_str());
}

int RemoveFolder(const std::string& path) {
    const std::string native = NativePath(path);
    NotifyName(DiskChange::kRemove, native);
    return rmdir(native.c_str());
}

NodeKind NodeAt(const std::string& path) {
    struct stat info {};
    if (lstat(NativePath(path).c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? NodeKind::kNothing : NodeKind::kOther;
    if (S_ISLNK(info.st_mode))
        return NodeKind::kLink;
    if (S_ISREG(info.st_mode))
        return NodeKind::kFile;
    return S_ISDIR(info.st_mode) ? NodeKind::kFolder : NodeKind::kOther;
}

int SyncFile(std::FILE* file) {
    if (ShouldFail(FaultKind::kSync))
        return InjectedSyncFailure();
    return std::fflush(file) == 0 ? SyncOpenFile(file, fileno(file)) : -1;
}

int SyncDescriptor(int descriptor) {
    if (ShouldFail(FaultKind::kSync))
        return InjectedSyncFailure();
    return SyncOpenFile(nullptr, descriptor);
}

int SyncFolder(const std::string& path) {
    if (ShouldFail(FaultKind::kSync))
        return InjectedSyncFailure();
    if (SyncsSkipped())
        return 0;
    const std::string native = NativePath(path.empty() ? "." : path);
    const int descriptor = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return -1;
    const bool synced = fsync(descriptor) == 0;
    close(descriptor);
    if (!synced)
        return -1;
    NotifyName(DiskChange::kSyncFolder, native);
    return 0;
}

void StartWriteBack(std::FILE* file) {
    if (std::fflush(file) != 0 || SyncsSkipped())
        return;
#ifdef __linux__
    sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

std::int64_t AvailableSpace(const std::string& path) {
    if (const std::optional<std::int64_t> injected = InjectedAvailableSpace())
        return *injected;
    struct statvfs volume {};
    if (statvfs(NativePath(path.empty() ? "." : path).c_str(), &volume) != 0)
        return -1;
    const auto bytes = static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize;
    return static_cast<std::int64_t>(std::min<unsigned long long>(bytes, INT64_MAX));
}

std::int64_t RegularFileSize(const std::string& path) {
    struct stat info {};
    if (stat(NativePath(path).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return static_cast<std::int64_t>(info.st_size);
}

int MoveFileOver(const std::string& from, const std::string& to) {
    if (ShouldFail(FaultKind::kMoveFile))
        return -1;
    const std::string source = NativePath(from);
    const std::string target = NativePath(to);
    NotifyName(DiskChange::kMove, source, target);
    struct stat replaced {};
    if (stat(target.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) {
        chmod(source.c_str(), replaced.st_mode & 07777);
    }
    return std::rename(source.c_str(), target.c_str());
}

void ResetFileAttributes(const std::string& path) {
    const std::string native = NativePath(path);
    struct stat info {};
    if (stat(native.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        chmod(native.c_str(), info.st_mode | S_IWUSR);
    }
}

bool HeldByRunningProgram(const std::string& path) {
    const int descriptor = open(NativePath(path).c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (descriptor >= 0) {
        close(descriptor);
        return false;
    }
    return errno == ETXTBSY;
}

// Every name is a plain file name here; only "/" and the zero byte are not,
// and neither can reach this point as part of a name.
bool FileSystemCanHoldName(const std::string& /*name*/) {
    return true;
}

bool SameFileName(const std::string& a, const std::string& b) {
    return a == b;
}

bool OthersMayRead(const std::string& path) {
    struct stat status {};
    return stat(NativePath(path).c_str(), &status) == 0 &&
           (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

std::string MakePrivateCommand(const std::string& path) {
    std::string quoted = "'";
    for (const char c : path)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return "chmod 600 " + quoted + "'";
}

// A running program is replaced by a rename like any other file, so nothing
// is ever moved aside.
void RemoveMovedAside(const std::string& /*root*/) {}

bool ResolvesInside(const std::string& root, const std::string& path, std::string* resolved) {
    const std::optional<std::string> realRoot = RealPath(NativePath(root.empty() ? "." : root));
    if (!realRoot)
        return false;
    const std::optional<std::string> where = Resolve(NativePath(path), kMaxLinksFollowed);
    if (!where || !IsAtOrBelow(*where, *realRoot))
        return false;
    if (resolved != nullptr)
        *resolved = *where;
    return true;
}

bool ResolvesInside(const std::string& root, const std::string& path) {
    return ResolvesInside(root, path, nullptr);
}

}  // namespace platform
