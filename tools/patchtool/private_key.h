// The private key a publisher signs patch lists with, read from its file
// (keygen writes it, sign and publish read it).
#pragma once

#include <filesystem>
#include <optional>

#include "engine/publisher_core.h"

// The unencrypted Ed25519 key in the PEM file at `path`; nothing when the
// file cannot be read or holds no such key. The text read is wiped.
std::optional<Ed25519SigningKey> ReadPrivateKey(const std::filesystem::path& path);
