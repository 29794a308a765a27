// Reading a file whole: release trees' files to compare and diff, and the
// small files the commands take (lists, signatures, version files). Private
// keys have a reader of their own (private_key.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

struct WholeFile {
    std::optional<std::string> content;  // nothing when the file was not read
    bool tooLarge = false;               // larger than the limit asked for
    std::string error;                   // what went wrong, naming the file
};

// The content of the regular file `file`, when it holds at most `limit`
// bytes. Anything else (a folder, a file that cannot be opened or read, one
// that is larger) gives no content and a message: "cannot open 'FILE'",
// "cannot read 'FILE'" or "'FILE' is larger than LIMIT bytes".
WholeFile ReadWholeFile(const std::filesystem::path& file, std::size_t limit = SIZE_MAX);

// ReadWholeFile for the callers that only pass its message on: the content
// into `*content`, or false with the message in `*error`.
bool ReadFileInto(const std::filesystem::path& file, std::string* content, std::string* error);
