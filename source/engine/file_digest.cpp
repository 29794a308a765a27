#include "engine/file_digest.h"

#include <algorithm>

#include "platform/platform.h"

namespace {

// Large enough that reading costs few calls, small enough to be nothing
// beside the rest of the process, whatever the file's size.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;

}  // namespace

bool HashFilePrefix(const std::string& path, std::int64_t length, std::vector<char>& buffer,
                    Sha256& hash) {
    std::FILE* file = platform::OpenFile(path, "rb");
    if (file == nullptr)
        return false;
    buffer.resize(kReadPiece);
    std::int64_t left = length;
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(left, kReadPiece));
        const std::size_t got = platform::ReadFile(buffer.data(), 1, want, file);
        if (got != want)
            break;
        hash.Update(buffer.data(), got);
        left -= static_cast<std::int64_t>(got);
    }
    platform::CloseFile(file);  // only read: a failing close loses nothing
    buffer.clear();
    return left == 0;
}

std::optional<Sha256Digest> DigestOfFile(const std::string& path) {
    const std::int64_t size = platform::RegularFileSize(path);
    Sha256 hash;
    std::vector<char> buffer;
    if (size < 0 || !HashFilePrefix(path, size, buffer, hash))
        return std::nullopt;
    return hash.Finish();
}
