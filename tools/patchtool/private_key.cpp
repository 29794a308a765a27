#include "private_key.h"

#include "utf8_path.h"
#include "whole_file.h"

namespace {

// Larger than any PEM private key; a key file is never read past it.
constexpr std::size_t kKeyFileCap = 64 * 1024;

}  // namespace

std::optional<Ed25519SigningKey> ReadPrivateKey(const std::filesystem::path& path) {
    std::optional<std::string> pem = ReadWholeFile(path, kKeyFileCap).content;
    if (!pem)
        return std::nullopt;
    std::optional<Ed25519SigningKey> key = Ed25519SigningKey::FromPem(*pem);
    WipeSecret(*pem);
    return key;
}
