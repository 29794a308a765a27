// The patchtool commands for signed patch lists: keygen, sign and
// verify-list. See commands.h for where their output goes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "engine/publisher_core.h"

// The private key in a key file made by keygen; nothing when the file cannot
// be read or holds no unencrypted Ed25519 key. The file's text is wiped once
// read.
std::optional<Ed25519SigningKey> ReadPrivateKey(const std::filesystem::path& path);

int RunKeygen(const std::vector<std::string>& words, const Console& console);
int RunSign(const std::vector<std::string>& words, const Console& console);
int RunVerifyList(const std::vector<std::string>& words, const Console& console);
