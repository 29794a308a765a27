// The public keys the updater trusts to sign the patch list, as the build
// setting UPDATER_TRUSTED_KEYS gives them (kBuildTrustedKeys): base64 keys
// separated by commas. More than one lets a publisher rotate keys: a list
// signed by any of them is taken.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "trust/base64.h"
#include "trust/ed25519.h"

// Whether `text` is empty or a comma-separated list of keys, each the
// canonical base64 of 32 bytes, with no empty item and nothing else around
// them. Constant-evaluable: the build refuses to compile with a malformed
// setting (trusted_keys.cpp), since an updater that silently dropped a key
// would refuse every list signed with it, and one that dropped them all would
// stop checking signatures altogether.
constexpr bool IsWellFormedKeyList(std::string_view text) {
    if (text.empty())
        return true;
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view key = text.substr(0, comma);
        if (!IsCanonicalBase64(key) || DecodedBase64Size(key) != 32)
            return false;
        if (comma == std::string_view::npos)
            return true;
        text.remove_prefix(comma + 1);
    }
}

// The keys of a list in IsWellFormedKeyList's form; nothing when malformed.
std::optional<std::vector<Ed25519PublicKey>> ParseTrustedKeyList(std::string_view text);

// The keys this build trusts (kBuildTrustedKeys); empty when none were set,
// and then patch lists are not signature-checked.
std::vector<Ed25519PublicKey> BuildTrustedKeys();
