// The file calls of platform.h on Windows. Every name goes through the wide
// (UTF-16) calls in the "\\?\" form of wide_path.h, so any name UTF-8 can
// spell and any length a file system takes are reached. Files are opened
// with CreateFileW and handed to the C runtime, so the streams and
// descriptors callers see are the runtime's own, and:
// - every open shares reading, writing and deleting with others, as a POSIX
//   open does: a file the updater holds open may still be moved or removed;
// - the exclusive "x" of "wbx" becomes CREATE_NEW (the C runtime's fopen
//   would ignore it and cut the file);
// - streams are always binary: a text-mode stream would change the bytes.
#include <aclapi.h>
#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fault_injection_internal.h"
#include "platform/windows/wide_path.h"

namespace platform {
namespace {

// As on POSIX: as many links as a Linux lookup follows before it gives up.
constexpr int kMaxLinksFollowed = 40;
// The longest name (one path part) NTFS and the others take, in UTF-16 units.
constexpr std::size_t kMaxNameUnits = 255;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::wstring_view kLongPrefix = L"\\\\?\\";

// errno for the Windows error of a failed call, for callers that print it.
int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
            return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        default:
            return EIO;
    }
}

// Sets errno from the last Windows error and returns -1.
int Failed() {
    errno = ErrnoOf(GetLastError());
    return -1;
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid())
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

  private:
    HANDLE handle_;
};

HANDLE OpenNative(const std::wstring& native, DWORD access, DWORD disposition, DWORD flags,
                  SECURITY_ATTRIBUTES* security = nullptr) {
    const HANDLE handle =
        CreateFileW(native.c_str(), access, kShareAll, security, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        Failed();
    return handle;
}

HANDLE OsHandleOf(int descriptor) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// Tells the disk observer, if there is one, of a change to a name (test
// variant only).
void NotifyName(DiskChange kind, const std::wstring& native, const std::wstring& target = {}) {
    if constexpr (kTestHooks) {
        if (!DiskObserved())
            return;
        DiskEvent event;
        event.kind = kind;
        event.path = Narrow(native);
        event.target = Narrow(target);
        Notify(event);
    }
}

// A C runtime stream over `handle`, which it then owns; the handle is closed
// when no stream can be made.
std::FILE* StreamOf(HANDLE handle, int descriptorFlags, const char* streamMode) {
    const int descriptor =
        _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), descriptorFlags | _O_NOINHERIT);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, streamMode);
    if (file == nullptr)
        _close(descriptor);
    return file;
}

// What an fopen mode asks of CreateFileW and of the runtime's stream.
struct OpenMode {
    DWORD access = 0;
    DWORD disposition = 0;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    int descriptorFlags = 0;
    const char* streamMode = nullptr;
    bool mayCreate = false;  // every mode but "r" and "r+" may make or cut the file
};

std::optional<OpenMode> ParseMode(const char* mode) {
    const bool update = std::strchr(mode, '+') != nullptr;
    const bool exclusive = std::strchr(mode, 'x') != nullptr;
    OpenMode open;
    open.access = update ? GENERIC_READ | GENERIC_WRITE : 0;
    open.descriptorFlags = update ? _O_RDWR : 0;
    switch (mode[0]) {
        case 'r':
            if (exclusive)
                return std::nullopt;
            open.access = update ? open.access : GENERIC_READ;
            open.disposition = OPEN_EXISTING;
            open.descriptorFlags |= update ? 0 : _O_RDONLY;
            open.streamMode = update ? "r+b" : "rb";
            return open;
        case 'w':
            open.access = update ? open.access : GENERIC_WRITE;
            // Made anew and never opened through a link standing at the name,
            // dangling or not: CREATE_NEW alone would make the link's target.
            open.disposition = exclusive ? CREATE_NEW : CREATE_ALWAYS;
            open.flags |= exclusive ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
            open.descriptorFlags |= update ? 0 : _O_WRONLY;
            open.streamMode = update ? "w+b" : "wb";
            open.mayCreate = true;
            return open;
        case 'a':
            if (exclusive)
                return std::nullopt;
            open.access = update ? open.access : GENERIC_WRITE;
            open.disposition = OPEN_ALWAYS;
            open.descriptorFlags |= (update ? 0 : _O_WRONLY) | _O_APPEND;
            open.streamMode = update ? "a+b" : "ab";
            open.mayCreate = true;
            return open;
        default:
            return std::nullopt;
    }
}

// A security descriptor that lets only the current user at the file: the
// user owns it, and its list grants that user alone, inheriting nothing
// from the folder (whose inherited entries could let others read it).
class OwnerOnlyDescriptor {
  public:
    bool Build() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return false;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user_.resize(size);
        const bool gotUser =
            size != 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
        CloseHandle(token);
        if (!gotUser)
            return false;
        const PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;
        const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
        acl_.resize(aclSize / sizeof(DWORD) + 1);
        auto* acl = reinterpret_cast<ACL*>(acl_.data());
        return InitializeAcl(acl, aclSize, ACL_REVISION) &&
               AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
               InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorOwner(&descriptor_, sid, FALSE) &&
               SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
               SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }

    SECURITY_ATTRIBUTES* attributes() {
        attributes_ = {sizeof(attributes_), &descriptor_, FALSE};
        return &attributes_;
    }

  private:
    std::vector<unsigned char> user_;
    std::vector<DWORD> acl_;  // DWORD-aligned, as an ACL must be
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

// A sync the fault hook makes fail, as on a full disk.
int InjectedSyncFailure() {
    errno = ENOSPC;
    return -1;
}

// Syncs the file open as `descriptor` (through `file`, when it is a stream
// whose buffer was flushed).
int SyncOpenFile(std::FILE* file, int descriptor) {
    if (SyncsSkipped())
        return 0;
    if (!FlushFileBuffers(OsHandleOf(descriptor)))
        return Failed();
    NotifyOpenFile(DiskChange::kSyncFile, file, descriptor);
    return 0;
}

DWORD AttributesOf(const std::wstring& native) {
    return GetFileAttributesW(native.c_str());
}

bool IsFolder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring WithName(std::wstring folder, const std::wstring& name) {
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder + name;
}

std::wstring Hex(unsigned long long value) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), L"0123456789abcdef"[value % 16]);
        value /= 16;
    } while (value != 0);
    return digits;
}

// A name in the folder of `target` to move it aside to, ending in
// kMovedAsideSuffix: the target's own name with a tag that no other process
// or call makes, so a reader of the folder sees what it was; the tag alone
// when the name has no room left. The move refuses a name that is taken.
std::wstring MovedAsideName(const std::wstring& target) {
    static std::atomic<unsigned> counter{0};
    const std::wstring tag = Hex(GetCurrentProcessId()) + L"-" + Hex(GetTickCount64()) + L"-" +
                             Hex(counter.fetch_add(1)) + Widen(kMovedAsideSuffix);
    const std::size_t nameStart = target.find_last_of(L'\\') + 1;
    if (target.size() - nameStart + 1 + tag.size() <= kMaxNameUnits)
        return target + L"." + tag;
    return target.substr(0, nameStart) + tag;
}

// The errors with which Windows refuses to replace a file in use: a running
// program or a loaded library, or a file open without delete sharing.
bool InUse(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_USER_MAPPED_FILE;
}

bool Move(const std::wstring& from, const std::wstring& to, DWORD flags) {
    NotifyName(DiskChange::kMove, from, to);
    return MoveFileExW(from.c_str(), to.c_str(), flags | MOVEFILE_WRITE_THROUGH) != 0;
}

// Puts `source` in the place of `target` that is in use: the target moves
// aside first (Windows lets a running program be renamed, just not replaced
// or removed), then the source takes its name. When the source cannot, the
// target goes back, so a failure leaves it as it was.
int MoveOverFileInUse(const std::wstring& source, const std::wstring& target) {
    // The refusal may come from the source instead (a folder, or a file some
    // scanner holds open without delete sharing); then the target is left
    // where it is rather than moved aside and back for nothing.
    {
        const Handle movable(CreateFileW(source.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (!movable.valid() || !GetFileInformationByHandle(movable.get(), &info))
            return Failed();
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            errno = EISDIR;
            return -1;
        }
    }
    std::wstring aside;
    bool movedAside = false;
    for (int attempt = 0; attempt < 4 && !movedAside; ++attempt) {
        aside = MovedAsideName(target);
        movedAside = Move(target, aside, 0);
        if (!movedAside && GetLastError() != ERROR_ALREADY_EXISTS &&
            GetLastError() != ERROR_FILE_EXISTS) {
            return Failed();
        }
    }
    if (!movedAside)
        return Failed();
    if (Move(source, target, 0))
        return 0;
    const int result = Failed();
    Move(aside, target, 0);
    return result;
}

// Where the link open as `link` leads, as its reparse data says; null when
// it is not a symbolic link or a junction, or its data cannot be read.
std::optional<std::wstring> LinkTargetOf(HANDLE link) {
    std::vector<unsigned char> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD length = 0;
    if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                         static_cast<DWORD>(data.size()), &length, nullptr) ||
        length < 16) {
        return std::nullopt;
    }
    // The layout of REPARSE_DATA_BUFFER: the tag, two lengths, then the
    // offset and length of the name the system follows; a symbolic link has
    // its flags before the names, a junction has none.
    const auto read16 = [&](std::size_t at) {
        std::uint16_t value = 0;
        std::memcpy(&value, data.data() + at, sizeof(value));
        return value;
    };
    DWORD tag = 0;
    std::memcpy(&tag, data.data(), sizeof(tag));
    std::size_t names = 0;
    bool relative = false;
    if (tag == IO_REPARSE_TAG_SYMLINK && length >= 20) {
        std::uint32_t flags = 0;
        std::memcpy(&flags, data.data() + 16, sizeof(flags));
        relative = (flags & SYMLINK_FLAG_RELATIVE) != 0;
        names = 20;
    } else if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
        names = 16;
    } else {
        return std::nullopt;
    }
    const std::size_t offset = names + read16(8);
    const std::size_t bytes = read16(10);
    if (offset + bytes > length)
        return std::nullopt;
    std::wstring target(bytes / sizeof(wchar_t), L'\0');
    std::memcpy(target.data(), data.data() + offset, target.size() * sizeof(wchar_t));
    // An absolute target is an NT path, "\??\C:\..."; its Win32 form is
    // "\\?\C:\...".
    if (!relative && target.compare(0, 4, L"\\??\\") == 0)
        target[1] = L'\\';
    return target;
}

// A native path taken apart: its volume ("\\?\C:\", "\\?\UNC\server\share\")
// and the names below it.
struct SplitPath {
    std::wstring volume;
    std::vector<std::wstring> names;

    // The path of the volume and the first `count` names.
    std::wstring Join(std::size_t count) const {
        std::wstring path = volume;
        for (std::size_t i = 0; i < count; ++i)
            path = WithName(std::move(path), names[i]);
        return path;
    }
};

std::optional<SplitPath> Split(const std::wstring& native) {
    if (native.compare(0, kLongPrefix.size(), kLongPrefix) != 0)
        return std::nullopt;  // a device: nothing a file can be written in
    std::size_t volumeEnd = native.find(L'\\', kLongPrefix.size());
    const std::wstring_view unc = L"UNC\\";
    const std::size_t start = kLongPrefix.size();
    if (CompareStringOrdinal(native.c_str() + start,
                             static_cast<int>(std::min(native.size() - start, unc.size())),
                             unc.data(), static_cast<int>(unc.size()), TRUE) == CSTR_EQUAL) {
        // The server and the share name the volume.
        for (int part = 0; part < 2 && volumeEnd != std::wstring::npos; ++part)
            volumeEnd = native.find(L'\\', volumeEnd + 1);
    }
    SplitPath split;
    split.volume = native.substr(0, volumeEnd) + L"\\";
    std::size_t name = volumeEnd == std::wstring::npos ? native.size() : volumeEnd + 1;
    while (name < native.size()) {
        const std::size_t end = std::min(native.find(L'\\', name), native.size());
        if (end > name)
            split.names.push_back(native.substr(name, end - name));
        name = end + 1;
    }
    return split;
}

// The longest path Windows can name, in UTF-16 units.
constexpr std::size_t kLongestPath = 32768;

std::optional<DWORD> VolumeSerialOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    return info.dwVolumeSerialNumber;
}

// Wine 8 cannot give the final path of a file whose path is longer than about
// 260 characters, whatever the buffer (ERROR_MORE_DATA every time), where
// Windows can. Its path on its own volume is still known: joined to
// `volume`, the volume the path was opened on, it is the final path, but only
// while the file lies on that very volume. A file that a link led elsewhere
// (another drive, a volume mounted in a folder) cannot be judged this way.
std::optional<std::wstring> FinalPathOnVolume(HANDLE handle, const std::wstring& volume) {
    const Handle root(CreateFileW(volume.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::optional<DWORD> serial = VolumeSerialOf(handle);
    if (!root.valid() || !serial || VolumeSerialOf(root.get()) != serial)
        return std::nullopt;
    std::vector<char> buffer(sizeof(FILE_NAME_INFO) + kLongestPath * sizeof(wchar_t));
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(),
                                      static_cast<DWORD>(buffer.size()))) {
        return std::nullopt;
    }
    FILE_NAME_INFO info;
    std::memcpy(&info, buffer.data(), sizeof info);
    std::wstring name(info.FileNameLength / sizeof(wchar_t), L'\0');
    std::memcpy(name.data(), buffer.data() + offsetof(FILE_NAME_INFO, FileName),
                name.size() * sizeof(wchar_t));
    if (name.empty() || name.front() != L'\\')
        return std::nullopt;
    return volume + name.substr(1);
}

// The final path of an open file or folder, every link on the way followed;
// `volume` is the volume its path was opened on. Windows reports the size a
// longer path needs.
std::optional<std::wstring> FinalPathOf(HANDLE handle, const std::wstring& volume) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return GetLastError() == ERROR_MORE_DATA ? FinalPathOnVolume(handle, volume)
                                                     : std::nullopt;
        }
        const bool fitted = length < path.size();
        path.resize(length);
        if (fitted)
            return path;
    }
}

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// `base` (resolved) with the names that do not exist yet added.
std::optional<std::wstring> AppendMissing(std::wstring base, const SplitPath& split,
                                          std::size_t from) {
    for (std::size_t i = from; i < split.names.size(); ++i) {
        if (split.names[i] == L"..")
            return std::nullopt;
        base = WithName(std::move(base), split.names[i]);
    }
    return base;
}

// Where `native` leads (see ResolvesInside). The longest leading run of names
// that exists decides. A name that is missing when followed may be a
// dangling link: then it is looked at as itself, and its target is what a
// new file would be made at.
std::optional<std::wstring> Resolve(const std::wstring& native, int linksLeft) {
    const std::optional<SplitPath> split = Split(native);
    if (!split)
        return std::nullopt;
    for (std::size_t count = split->names.size();; --count) {
        const std::wstring existing = split->Join(count);
        const Handle followed(CreateFileW(existing.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (followed.valid()) {
            const std::optional<std::wstring> final = FinalPathOf(followed.get(), split->volume);
            return final ? AppendMissing(*final, *split, count) : std::nullopt;
        }
        // A loop of links, a name Windows refuses, a folder it may not look
        // into: nothing that can be judged.
        if (!IsMissing(GetLastError()))
            return std::nullopt;
        const Handle itself(CreateFileW(existing.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
        if (!itself.valid()) {
            if (!IsMissing(GetLastError()) || count == 0)
                return std::nullopt;
            continue;
        }
        // Something stands there that cannot be followed: a dangling link,
        // or a reparse point of a kind this cannot read (then outside).
        std::optional<std::wstring> target = LinkTargetOf(itself.get());
        if (!target || linksLeft == 0 || count == 0)
            return std::nullopt;
        std::wstring next;
        if (target->compare(0, kLongPrefix.size(), kLongPrefix) == 0)
            next = *target;
        else if (!target->empty() && target->front() == L'\\')
            next = split->volume + target->substr(1);  // from the root of the link's volume
        else
            next = WithName(split->Join(count - 1), *target);
        for (std::size_t i = count; i < split->names.size(); ++i)
            next = WithName(std::move(next), split->names[i]);
        return Resolve(NativeWidePath(std::move(next)), linksLeft - 1);
    }
}

std::wstring_view WithoutLongPrefix(std::wstring_view path) {
    if (path.compare(0, kLongPrefix.size(), kLongPrefix) == 0)
        path.remove_prefix(kLongPrefix.size());
    return path;
}

// Names compare as Windows compares them: without regard to case.
bool IsAtOrBelow(std::wstring_view path, std::wstring_view folder) {
    path = WithoutLongPrefix(path);
    folder = WithoutLongPrefix(folder);
    if (folder.empty() || path.size() < folder.size() ||
        CompareStringOrdinal(path.data(), static_cast<int>(folder.size()), folder.data(),
                             static_cast<int>(folder.size()), TRUE) != CSTR_EQUAL) {
        return false;
    }
    return path.size() == folder.size() || folder.back() == L'\\' || path[folder.size()] == L'\\';
}

bool EqualsIgnoringAsciiCase(std::string_view text, std::string_view upper) {
    return text.size() == upper.size() &&
           std::equal(text.begin(), text.end(), upper.begin(), [](char a, char b) {
               return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 'a' + 'A') : a) == b;
           });
}

// The names Windows takes for devices in every folder: "C:\app\NUL.txt"
// is the null device, not a file.
bool IsDeviceName(std::string_view base) {
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (EqualsIgnoringAsciiCase(base, device))
            return true;
    }
    if (base.size() < 4 || !(EqualsIgnoringAsciiCase(base.substr(0, 3), "COM") ||
                             EqualsIgnoringAsciiCase(base.substr(0, 3), "LPT"))) {
        return false;
    }
    const std::string_view number = base.substr(3);
    // A digit, or a superscript one, two or three (in UTF-8), which Windows
    // counts as digits here too.
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

// One part of an entry's name. Besides what Windows reads as something else
// (a device, a name whose trailing dots and spaces it drops, which also
// makes "." and ".." fail), the characters it refuses in any name count: a
// name holding one cannot be written at all.
bool NameCanBeHeld(std::string_view part) {
    if (part.empty())
        return true;  // "a//b" is "a/b" on Windows as on POSIX
    for (const char c : part) {
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"|?*", c) != nullptr)
            return false;
    }
    if (part.back() == '.' || part.back() == ' ')
        return false;
    std::string_view base = part.substr(0, part.find('.'));
    // "NUL .txt" is the device as well: spaces before the dot do not count.
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    return !IsDeviceName(base);
}

}  // namespace

std::FILE* OpenFile(const std::string& path, const char* mode) {
    if (ShouldFail(FaultKind::kOpen))
        return nullptr;
    const std::optional<OpenMode> open = ParseMode(mode);
    if (!open) {
        errno = EINVAL;
        return nullptr;
    }
    const std::wstring native = NativeWidePath(path);
    if (open->mayCreate)
        NotifyName(DiskChange::kCreateFile, native);
    const HANDLE handle = OpenNative(native, open->access, open->disposition, open->flags);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return StreamOf(handle, open->descriptorFlags, open->streamMode);
}

std::FILE* CreatePrivateFile(const std::string& path) {
    if (ShouldFail(FaultKind::kOpen))
        return nullptr;
    const std::wstring native = NativeWidePath(path);
    NotifyName(DiskChange::kCreateFile, native);
    OwnerOnlyDescriptor security;
    if (!security.Build()) {
        Failed();
        return nullptr;
    }
    // As "wbx": never through a link, never over anything.
    const HANDLE handle =
        OpenNative(native, GENERIC_WRITE, CREATE_NEW,
                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, security.attributes());
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return StreamOf(handle, _O_WRONLY, "wb");
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
    return _fseeki64(file, offset, whence);  // fseek's long is 32 bits here
}

std::int64_t TellFile(std::FILE* file) {
    return _ftelli64(file);
}

int CloseFile(std::FILE* file) {
    const bool fail = ShouldFail(FaultKind::kClose);
    const int result = std::fclose(file);  // the stream is released either way
    return fail ? EOF : result;
}

int OpenReadWrite(const std::string& path) {
    if (ShouldFail(FaultKind::kOpen))
        return -1;
    const HANDLE handle = OpenNative(NativeWidePath(path), GENERIC_READ | GENERIC_WRITE,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    const int descriptor =
        _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDWR | _O_NOINHERIT);
    if (descriptor < 0)
        CloseHandle(handle);
    return descriptor;
}

int ChangeFileSize(int descriptor, std::int64_t size) {
    if (ShouldFail(FaultKind::kChangeSize))
        return -1;
    if (size < 0) {
        errno = EINVAL;
        return -1;
    }
    NotifyOpenFile(DiskChange::kChangeSize, nullptr, descriptor, nullptr,
                   static_cast<std::uint64_t>(size));
    // Sets the length without moving the descriptor's position, as _chsize
    // leaves it; the bytes an extension adds read as zeros.
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    if (!SetFileInformationByHandle(OsHandleOf(descriptor), FileEndOfFileInfo, &end, sizeof(end))) {
        return Failed();
    }
    return 0;
}

int CloseDescriptor(int descriptor) {
    const bool fail = ShouldFail(FaultKind::kClose);
    const int result = _close(descriptor);
    return fail ? -1 : result;
}

int MakeDirectory(const std::string& path) {
    if (ShouldFail(FaultKind::kMakeDirectory))
        return -1;
    const std::wstring native = NativeWidePath(path);
    NotifyName(DiskChange::kMakeFolder, native);
    return CreateDirectoryW(native.c_str(), nullptr) ? 0 : Failed();
}

int RemoveFile(const std::string& path) {
    const std::wstring native = NativeWidePath(path);
    NotifyName(DiskChange::kRemove, native);
    return DeleteFileW(native.c_str()) ? 0 : Failed();
}

int RemoveFolder(const std::string& path) {
    const std::wstring native = NativeWidePath(path);
    NotifyName(DiskChange::kRemove, native);
    return RemoveDirectoryW(native.c_str()) ? 0 : Failed();
}

// A link to a folder (or a junction) is a folder with a reparse point; it is
// removed with RemoveDirectoryW, which takes the link and leaves what it
// leads to.
NodeKind NodeAt(const std::string& path) {
    const DWORD attributes = AttributesOf(NativeWidePath(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? NodeKind::kNothing
                                                                              : NodeKind::kOther;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return NodeKind::kLink;
    return IsFolder(attributes) ? NodeKind::kFolder : NodeKind::kFile;
}

int SyncFile(std::FILE* file) {
    if (ShouldFail(FaultKind::kSync))
        return InjectedSyncFailure();
    return std::fflush(file) == 0 ? SyncOpenFile(file, _fileno(file)) : -1;
}

int SyncDescriptor(int descriptor) {
    if (ShouldFail(FaultKind::kSync))
        return InjectedSyncFailure();
    return SyncOpenFile(nullptr, descriptor);
}

// Windows keeps no folder to sync: every move here is made with
// MOVEFILE_WRITE_THROUGH, which returns once the new name is on the disk, and
// a file's creation is part of its own FlushFileBuffers. Only whether the
// folder is there is checked, so that a sync of a missing folder fails as it
// does on POSIX.
int SyncFolder(const std::string& path) {
    if (ShouldFail(FaultKind::kSync))
        return InjectedSyncFailure();
    if (SyncsSkipped())
        return 0;
    const std::wstring native = NativeWidePath(path.empty() ? "." : path);
    if (!IsFolder(AttributesOf(native))) {
        errno = ENOENT;
        return -1;
    }
    NotifyName(DiskChange::kSyncFolder, native);
    return 0;
}

// Windows starts writing a file's data soon after it is written; a flushed
// buffer is all it needs.
void StartWriteBack(std::FILE* file) {
    std::fflush(file);
}

std::int64_t AvailableSpace(const std::string& path) {
    if (const std::optional<std::int64_t> injected = InjectedAvailableSpace())
        return *injected;
    const std::optional<SplitPath> split = Split(NativeWidePath(path.empty() ? "." : path));
    if (!split)
        return -1;
    // GetDiskFreeSpaceExW wants a folder: the nearest one that exists on the
    // way to `path` is on the same volume.
    for (std::size_t count = split->names.size();; --count) {
        const std::wstring folder = WithName(split->Join(count), L"");
        ULARGE_INTEGER available{};
        if (IsFolder(AttributesOf(folder)) &&
            GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
            return static_cast<std::int64_t>(
                std::min<unsigned long long>(available.QuadPart, INT64_MAX));
        }
        if (count == 0)
            return -1;
    }
}

std::int64_t RegularFileSize(const std::string& path) {
    // No access asked for: looking at the length is never refused, whoever
    // holds the file open. A link is followed to its file; a folder does not
    // open without FILE_FLAG_BACKUP_SEMANTICS.
    const Handle file(CreateFileW(NativeWidePath(path).c_str(), 0, kShareAll, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
}

// Windows keeps no executable bit, so the new file needs nothing of the one
// it replaces: it keeps its own attributes and the security settings it was
// made with, which come from the same folder.
int MoveFileOver(const std::string& from, const std::string& to) {
    if (ShouldFail(FaultKind::kMoveFile))
        return -1;
    const std::wstring source = NativeWidePath(from);
    const std::wstring target = NativeWidePath(to);
    if (Move(source, target, MOVEFILE_REPLACE_EXISTING))
        return 0;
    const DWORD error = GetLastError();
    // A read-only file is refused with the same error; moved aside, it is
    // replaced, as rename replaces it on POSIX. A folder at `to` must stay.
    const DWORD attributes = AttributesOf(target);
    if (!InUse(error) || attributes == INVALID_FILE_ATTRIBUTES || IsFolder(attributes)) {
        errno = ErrnoOf(error);
        return -1;
    }
    return MoveOverFileInUse(source, target);
}

bool HeldByRunningProgram(const std::string& path) {
    const std::wstring native = NativeWidePath(path);
    const DWORD attributes = AttributesOf(native);
    if (attributes == INVALID_FILE_ATTRIBUTES || IsFolder(attributes))
        return false;
    const Handle file(CreateFileW(native.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    return !file.valid() && InUse(GetLastError());
}

void RemoveMovedAside(const std::string& root) {
    const std::wstring suffix = Widen(kMovedAsideSuffix);
    std::vector<std::wstring> folders{NativeWidePath(root.empty() ? "." : root)};
    // A list of folders still to look at rather than recursion: a tree as
    // deep as a 32767-character path allows would exhaust the stack.
    while (!folders.empty()) {
        const std::wstring folder = std::move(folders.back());
        folders.pop_back();
        WIN32_FIND_DATAW found{};
        const HANDLE search =
            FindFirstFileExW(WithName(folder, L"*").c_str(), FindExInfoBasic, &found,
                             FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring entry = WithName(folder, name);
            const DWORD attributes = found.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                // A link or a junction to a folder may lead out of the root.
                if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
                    folders.push_back(entry);
                continue;
            }
            if (name.size() <= suffix.size() ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
                continue;
            }
            NotifyName(DiskChange::kRemove, entry);
            if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
                SetFileAttributesW(entry.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
            // A program still running from it refuses; it stays for next time.
            DeleteFileW(entry.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
}

void ResetFileAttributes(const std::string& path) {
    const std::wstring native = NativeWidePath(path);
    const DWORD attributes = AttributesOf(native);
    if (attributes != INVALID_FILE_ATTRIBUTES && !IsFolder(attributes))
        SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_NORMAL);
}

bool FileSystemCanHoldName(const std::string& name) {
    const std::string_view whole = name;
    std::size_t start = 0;
    while (start <= whole.size()) {
        const std::size_t end = std::min(whole.find_first_of("/\\", start), whole.size());
        if (!NameCanBeHeld(whole.substr(start, end - start)))
            return false;
        start = end + 1;
    }
    return true;
}

// An ordinal comparison that ignores case is the one NTFS makes with its
// table of upper-case letters.
bool SameFileName(const std::string& a, const std::string& b) {
    const std::wstring wideA = Widen(a);
    const std::wstring wideB = Widen(b);
    return CompareStringOrdinal(wideA.c_str(), static_cast<int>(wideA.size()), wideB.c_str(),
                                static_cast<int>(wideB.size()), TRUE) == CSTR_EQUAL;
}

namespace {

// Whether the allowed entry `ace` lets someone other than `owner`, the system
// or the administrators read.
bool LetsOthersRead(const ACCESS_ALLOWED_ACE& ace, PSID owner) {
    constexpr ACCESS_MASK kReading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
    PSID sid = const_cast<DWORD*>(&ace.SidStart);
    return (ace.Mask & kReading) != 0 && !EqualSid(sid, owner) &&
           !IsWellKnownSid(sid, WinLocalSystemSid) &&
           !IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

}  // namespace

bool OthersMayRead(const std::string& path) {
    const std::wstring native = NativeWidePath(path);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL access = nullptr;
    if (GetNamedSecurityInfoW(native.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &access, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    // No access list at all lets everyone in.
    bool others = access == nullptr;
    for (DWORD i = 0; !others && i < access->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(access, i, &ace) &&
            static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE)
            others = LetsOthersRead(*static_cast<ACCESS_ALLOWED_ACE*>(ace), owner);
    }
    LocalFree(descriptor);
    return others;
}

std::string MakePrivateCommand(const std::string& path) {
    return "icacls \"" + path + "\" /inheritance:r /grant:r \"%USERNAME%\":F";
}

bool ResolvesInside(const std::string& root, const std::string& path, std::string* resolved) {
    const std::wstring nativeRoot = NativeWidePath(root.empty() ? "." : root);
    const std::optional<SplitPath> rootSplit = Split(nativeRoot);
    const Handle rootHandle(CreateFileW(nativeRoot.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!rootSplit || !rootHandle.valid())
        return false;
    const std::optional<std::wstring> realRoot = FinalPathOf(rootHandle.get(), rootSplit->volume);
    const std::optional<std::wstring> where = Resolve(NativeWidePath(path), kMaxLinksFollowed);
    if (!realRoot || !where || !IsAtOrBelow(*where, *realRoot))
        return false;
    if (resolved != nullptr) {
        std::string narrow = Narrow(*where);
        if (narrow.empty())
            return false;
        *resolved = std::move(narrow);
    }
    return true;
}

bool ResolvesInside(const std::string& root, const std::string& path) {
    return ResolvesInside(root, path, nullptr);
}

}  // namespace platform
