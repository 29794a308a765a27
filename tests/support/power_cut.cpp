#include "support/power_cut.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>

#include "support/temp_dir.h"

namespace fs = std::filesystem;
using platform::DiskChange;
using platform::DiskEvent;

namespace testing_support {
namespace {

std::optional<struct stat> StatOf(const fs::path& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return std::nullopt;
    return info;
}

std::optional<std::string> ReadThrough(int descriptor) {
    std::string bytes;
    char buffer[1 << 16];
    for (off_t at = 0;;) {
        const ssize_t got = pread(descriptor, buffer, sizeof buffer, at);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return bytes;
        bytes.append(buffer, static_cast<std::size_t>(got));
        at += got;
    }
}

// The whole content of the file open as `descriptor`. A stream opened only
// for writing cannot be read through, but the same file opened anew can.
std::optional<std::string> ContentOf(int descriptor) {
    if (std::optional<std::string> bytes = ReadThrough(descriptor))
        return bytes;
    const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
    const int reader = open(self.c_str(), O_RDONLY | O_CLOEXEC);
    if (reader < 0)
        return std::nullopt;
    std::optional<std::string> bytes = ReadThrough(reader);
    close(reader);
    return bytes;
}

// Where the next bytes written through `file` land, its buffer flushed.
std::optional<off_t> WritePosition(std::FILE* file, const struct stat& info) {
    if ((fcntl(fileno(file), F_GETFL) & O_APPEND) != 0)
        return info.st_size;
    const long position = std::ftell(file);
    return position < 0 ? std::nullopt : std::optional<off_t>(position);
}

std::size_t ThreadCount() {
    std::error_code error;
    const fs::directory_iterator tasks("/proc/self/task", error);
    return error ? 0 : static_cast<std::size_t>(std::distance(tasks, fs::directory_iterator()));
}

// The child's side of RunWithPowerCut: it never returns into the test.
[[noreturn]] void RunArmed(const fs::path& root, std::uint64_t point, PowerCutMode mode,
                           const std::function<void()>& run) {
    int status = PowerCutDisk::kFailedStatus;
    try {
        PowerCutDisk disk(root);
        disk.Arm(point, mode);
        run();
        disk.ObserveEnd();
        status = disk.error().empty() ? 0 : PowerCutDisk::kFailedStatus;
    } catch (...) {
    }
    _exit(status);
}

}  // namespace

const char* NameOf(PowerCutMode mode) {
    static const char* const kNames[] = {"lost", "names-kept", "torn"};
    return kNames[static_cast<int>(mode)];
}

const char* NameOf(DiskChange change) {
    static const char* const kNames[] = {"create", "write",  "change size", "make folder",
                                         "move",   "remove", "sync file",   "sync folder"};
    return kNames[static_cast<int>(change)];
}

PowerCutDisk::PowerCutDisk(fs::path root) : root_(std::move(root)) {
    if (const std::optional<struct stat> info = StatOf(root_))
        rootId_ = IdOf(*info);
    Snapshot(root_);
    platform::ObserveDisk(this);
}

PowerCutDisk::~PowerCutDisk() {
    platform::ObserveDisk(nullptr);
}

void PowerCutDisk::Arm(std::uint64_t point, PowerCutMode mode) {
    armedPoint_ = point;
    mode_ = mode;
}

void PowerCutDisk::Observe(const DiskEvent& event) {
    const std::lock_guard lock(mutex_);
    points_.push_back(event.kind);
    if (points_.size() == armedPoint_)
        Cut(&event);
    switch (event.kind) {
        case DiskChange::kSyncFile:
            RememberFile(event);
            break;
        case DiskChange::kSyncFolder:
            RememberFolder(event.path);
            break;
        case DiskChange::kRemove:
            Retire(event.path);
            break;
        case DiskChange::kMove:
            Retire(event.target);
            break;
        default:
            break;
    }
}

void PowerCutDisk::ObserveEnd() {
    const std::lock_guard lock(mutex_);
    if (points_.size() + 1 == armedPoint_)
        Cut(nullptr);
}

PowerCutDisk::Id PowerCutDisk::IdOf(const struct stat& info) {
    const auto [it, added] = ids_.try_emplace({info.st_dev, info.st_ino}, nextId_);
    nextId_ += added ? 1 : 0;
    return it->second;
}

// The regular files and folders in `folder` by name; anything else is no
// part of the model.
PowerCutDisk::Listing PowerCutDisk::ListingOf(const fs::path& folder) {
    Listing listing;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const std::optional<struct stat> info = StatOf(entry.path());
        if (info && (S_ISREG(info->st_mode) || S_ISDIR(info->st_mode)))
            listing[entry.path().filename().string()] = {IdOf(*info), S_ISDIR(info->st_mode)};
    }
    if (error)
        error_ = "cannot list " + folder.string();
    return listing;
}

// At the start, everything there is durable.
void PowerCutDisk::Snapshot(const fs::path& folder) {
    const std::optional<struct stat> info = StatOf(folder);
    if (!info) {
        error_ = "cannot look at " + folder.string();
        return;
    }
    const Listing& listing = listings_[IdOf(*info)] = ListingOf(folder);
    for (const auto& [name, named] : listing) {
        if (named.folder)
            Snapshot(folder / name);
        else
            content_[named.id] = ReadFileBytes(folder / name);
    }
}

void PowerCutDisk::RememberFile(const DiskEvent& event) {
    if (event.file != nullptr)
        std::fflush(event.file);
    const int descriptor = event.file != nullptr ? fileno(event.file) : event.descriptor;
    struct stat info {};
    std::optional<std::string> bytes;
    if (fstat(descriptor, &info) == 0)
        bytes = ContentOf(descriptor);
    if (bytes)
        content_[IdOf(info)] = std::move(*bytes);
    else
        error_ = "cannot read a synced file";
}

void PowerCutDisk::RememberFolder(const std::string& path) {
    if (const std::optional<struct stat> info = StatOf(path))
        listings_[IdOf(*info)] = ListingOf(path);
    else
        error_ = "cannot look at the synced folder " + path;
}

// A folder goes with its only name; a file, when this was its last link.
void PowerCutDisk::Retire(const std::string& path) {
    const std::optional<struct stat> info = StatOf(path);
    if (info && (S_ISDIR(info->st_mode) || info->st_nlink <= 1))
        ids_.erase({info->st_dev, info->st_ino});
}

std::string PowerCutDisk::DurableContent(Id id) const {
    const auto it = content_.find(id);
    return it == content_.end() ? std::string() : it->second;
}

void PowerCutDisk::Cut(const DiskEvent* event) {
    int status = kCutStatus;
    try {
        switch (mode_) {
            case PowerCutMode::kLost:
                Rebuild(DurableTree());
                break;
            case PowerCutMode::kNamesKept:
                Rebuild(CurrentTree([this](const struct stat& info, const fs::path&) {
                    return DurableContent(IdOf(info));
                }));
                break;
            case PowerCutMode::kTorn:
                Rebuild(TornTree(event));
                break;
        }
    } catch (const std::exception& failure) {
        error_ = failure.what();
    }
    if (!error_.empty()) {
        std::fprintf(stderr, "power cut failed: %s\n", error_.c_str());
        status = kFailedStatus;
    }
    _exit(status);
}

Tree PowerCutDisk::DurableTree() const {
    Tree tree;
    std::vector<Id> above{rootId_};
    AddDurable(rootId_, "", tree, above);
    return tree;
}

// The folders on the way down are `above`: a listing that names one of them
// again (a folder moved below itself) is not followed round.
void PowerCutDisk::AddDurable(Id folder, const std::string& prefix, Tree& tree,
                              std::vector<Id>& above) const {
    const auto listing = listings_.find(folder);
    if (listing == listings_.end())
        return;  // made since the start and never synced: empty
    for (const auto& [name, named] : listing->second) {
        if (!named.folder) {
            tree[prefix + name] = DurableContent(named.id);
            continue;
        }
        if (std::find(above.begin(), above.end(), named.id) != above.end())
            continue;
        tree[prefix + name + "/"] = "";
        above.push_back(named.id);
        AddDurable(named.id, prefix + name + "/", tree, above);
        above.pop_back();
    }
}

// The names below the root as they stand, each file with what `content`
// says it holds.
Tree PowerCutDisk::CurrentTree(
    const std::function<std::string(const struct stat&, const fs::path&)>& content) {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root_);
         it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = it->path().lexically_relative(root_).generic_string();
        const std::optional<struct stat> info = StatOf(it->path());
        if (!info)
            throw std::runtime_error("cannot look at " + name);
        if (S_ISDIR(info->st_mode))
            tree[name + "/"] = "";
        else if (S_ISREG(info->st_mode))
            tree[name] = content(*info, it->path());
    }
    return tree;
}

// `event` is the change the cut interrupts, null at the end of the run.
Tree PowerCutDisk::TornTree(const DiskEvent* event) {
    if (event == nullptr || event->kind != DiskChange::kWrite)
        return CurrentTree(
            [](const struct stat&, const fs::path& path) { return ReadFileBytes(path); });
    std::fflush(event->file);
    struct stat torn {};
    const int descriptor = fileno(event->file);
    const std::optional<std::string> bytes = ContentOf(descriptor);
    const std::optional<off_t> position =
        fstat(descriptor, &torn) == 0 ? WritePosition(event->file, torn) : std::nullopt;
    if (!bytes || !position)
        throw std::runtime_error("cannot read the file being written");
    const auto at = static_cast<std::size_t>(*position);
    const std::size_t half = static_cast<std::size_t>(event->size) / 2;
    std::string tornContent = *bytes;
    if (tornContent.size() < at + half)
        tornContent.resize(at + half);
    tornContent.replace(at, half, static_cast<const char*>(event->data), half);
    return CurrentTree([&](const struct stat& info, const fs::path& path) {
        const bool isTorn = info.st_dev == torn.st_dev && info.st_ino == torn.st_ino;
        return isTorn ? tornContent : ReadFileBytes(path);
    });
}

// Replaces everything below the root with `tree`, whose folders come before
// what they hold (a map orders "a/" before "a/b").
void PowerCutDisk::Rebuild(const Tree& tree) const {
    for (const fs::directory_entry& entry : fs::directory_iterator(root_))
        fs::remove_all(entry.path());
    for (const auto& [name, bytes] : tree) {
        if (name.back() == '/')
            fs::create_directory(root_ / name);
        else
            WriteFileBytes(root_ / name, bytes);
    }
}

CutOutcome RunWithPowerCut(const fs::path& root, std::uint64_t point, PowerCutMode mode,
                           const std::function<void()>& run) {
    if (ThreadCount() != 1)
        return CutOutcome::kFailed;
    const pid_t child = fork();
    if (child < 0)
        return CutOutcome::kFailed;
    if (child == 0)
        RunArmed(root, point, mode, run);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == PowerCutDisk::kFailedStatus)
        return CutOutcome::kFailed;
    return WEXITSTATUS(status) == PowerCutDisk::kCutStatus ? CutOutcome::kCut
                                                           : CutOutcome::kRanToEnd;
}

}  // namespace testing_support
