// The private key a publisher signs patch lists with, read from its file
// (keygen writes it, sign and publish read it).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "engine/publisher_core.h"

// The unencrypted Ed25519 key in the PEM file at `path`. Nothing, with a
// message for the publisher in `*error`, when others than the file's owner
// may read it (the message names the command that makes it private), when it
// cannot be read, or when it holds no such key. The file is read unbuffered
// into one buffer of a fixed size, wiped on every path, so that no copy of
// the key's text stays in memory.
std::optional<Ed25519SigningKey> ReadPrivateKey(const std::filesystem::path& path,
                                                std::string* error);
