#include "whole_file.h"

#include <fstream>
#include <system_error>

#include "utf8_path.h"

namespace {

std::string Quoted(const std::filesystem::path& path) {
    return "'" + Utf8Of(path) + "'";
}

WholeFile Failed(std::string error, bool tooLarge = false) {
    return {std::nullopt, tooLarge, std::move(error)};
}

}  // namespace

WholeFile ReadWholeFile(const std::filesystem::path& file, std::size_t limit) {
    // A folder opens as a stream too, and reads as nonsense.
    std::error_code code;
    if (!std::filesystem::is_regular_file(file, code))
        return Failed("cannot open " + Quoted(file));
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return Failed("cannot open " + Quoted(file));
    std::string bytes;
    const std::uintmax_t size = std::filesystem::file_size(file, code);
    if (!code && size <= limit)
        bytes.reserve(static_cast<std::size_t>(size));
    char buffer[64 * 1024];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        if (bytes.size() + static_cast<std::size_t>(in.gcount()) > limit) {
            return Failed(Quoted(file) + " is larger than " + std::to_string(limit) + " bytes",
                          true);
        }
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad())
        return Failed("cannot read " + Quoted(file));
    return {std::move(bytes), false, {}};
}

bool ReadFileInto(const std::filesystem::path& file, std::string* content, std::string* error) {
    WholeFile read = ReadWholeFile(file);
    if (!read.content) {
        *error = std::move(read.error);
        return false;
    }
    *content = std::move(*read.content);
    return true;
}
