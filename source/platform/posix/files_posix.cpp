#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault_injection_internal.h"
#include "platform/posix/native_path.h"

namespace platform {
std::FILE* OpenFile(const std::string& path, const char* mode) {
    if (ShouldFail(FaultKind::kOpen))
        return nullptr;
    return std::fopen(NativePath(path).c_str(), mode);
}

std::size_t ReadFile(void* buffer, std::size_t size, std::size_t count, std::FILE* file) {
    return std::fread(buffer, size, count, file);
}

std::size_t WriteFile(const void* data, std::size_t size, std::size_t count, std::FILE* file) {
    if (ShouldFail(FaultKind::kWrite))
        return 0;
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
    return mkdir(NativePath(path).c_str(), 0755);
}

int RemoveFile(const std::string& path) {
    return std::remove(NativePath(path).c_str());
}

int MoveFileOver(const std::string& from, const std::string& to) {
    if (ShouldFail(FaultKind::kMoveFile))
        return -1;
    const std::string source = NativePath(from);
    const std::string target = NativePath(to);
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

}  // namespace platform
