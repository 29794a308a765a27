#include "trust/sha256.h"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

namespace {

// OpenSSL's digest calls fail only for a broken setup (no SHA-256 in the
// library), never for the data; that is not worth a code of its own.
void Require(int result) {
    if (result != 1)
        throw std::runtime_error("SHA-256 is not available");
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr)
        throw std::bad_alloc();
    if (EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        throw std::runtime_error("SHA-256 is not available");
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::Update(const void* data, std::size_t size) {
    Require(EVP_DigestUpdate(context_, data, size));
}

Sha256Digest Sha256::Finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    Require(EVP_DigestFinal_ex(context_, digest.data(), &length));
    Require(EVP_DigestInit_ex(context_, EVP_sha256(), nullptr));
    return digest;
}

Sha256Digest Sha256Of(std::string_view bytes) {
    Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Finish();
}

std::string Sha256Hex(const Sha256Digest& digest) {
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest)
        text += {kDigits[byte >> 4], kDigits[byte & 0x0F]};
    return text;
}

std::optional<Sha256Digest> ParseSha256Hex(std::string_view text) {
    Sha256Digest digest{};
    if (text.size() != 2 * digest.size())
        return std::nullopt;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return digest;
}
