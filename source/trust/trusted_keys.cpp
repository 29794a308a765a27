#include "trust/trusted_keys.h"

#include "build_config.h"

static_assert(IsWellFormedKeyList(kBuildTrustedKeys),
              "UPDATER_TRUSTED_KEYS holds a malformed key: give each key as 'patchtool keygen' "
              "prints it (44 characters of base64), separated by ';' or ','");

std::optional<std::vector<Ed25519PublicKey>> ParseTrustedKeyList(std::string_view text) {
    if (!IsWellFormedKeyList(text))
        return std::nullopt;
    std::vector<Ed25519PublicKey> keys;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::optional<Ed25519PublicKey> key = ParsePublicKeyText(text.substr(0, comma));
        if (!key)
            return std::nullopt;
        keys.push_back(*key);
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    }
    return keys;
}

std::vector<Ed25519PublicKey> BuildTrustedKeys() {
    // Well formed, as the static_assert above has made sure.
    return ParseTrustedKeyList(kBuildTrustedKeys).value();
}
