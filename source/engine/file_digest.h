// The SHA-256 of a file on the disk, read a buffer at a time.
//
// The updater takes it of a package that is already whole, and of the part
// of one an earlier run left; the publisher's tool of the packages it
// announces and checks. One reading serves both, so the digest a record
// carries is taken exactly as the updater takes the one it compares.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trust/sha256.h"

// Adds the first `length` bytes of the file at `path` (UTF-8) to `hash`, read
// through `buffer` (resized as needed, left empty); false when the file
// cannot be opened or does not hold that many bytes.
bool HashFilePrefix(const std::string& path, std::int64_t length, std::vector<char>& buffer,
                    Sha256& hash);

// The digest of the whole regular file at `path`; nothing when it is no
// regular file or cannot be read.
std::optional<Sha256Digest> DigestOfFile(const std::string& path);
