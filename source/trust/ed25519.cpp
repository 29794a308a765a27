#include "trust/ed25519.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <new>
#include <stdexcept>

#include "trust/base64.h"
#include "vocabulary/c_space.h"

namespace {

struct FreeMdContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, FreeMdContext>;
using Bio = std::unique_ptr<BIO, FreeBio>;

MdContext NewMdContext() {
    MdContext context(EVP_MD_CTX_new());
    if (!context)
        throw std::bad_alloc();
    return context;
}

template <std::size_t N>
std::string_view AsText(const std::array<std::uint8_t, N>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), N};
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> FixedBytes(std::string_view text) {
    const std::optional<std::string> bytes = DecodeBase64(text);
    if (!bytes || bytes->size() != N)
        return std::nullopt;
    std::array<std::uint8_t, N> fixed{};
    std::copy(bytes->begin(), bytes->end(), reinterpret_cast<char*>(fixed.data()));
    return fixed;
}

std::string_view TrimCSpace(std::string_view text) {
    while (!text.empty() && IsCSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsCSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// A key file is the owner's own, but may still be encrypted; OpenSSL would
// then ask for the pass phrase on the terminal. No prompt: such a key is
// refused.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

constexpr std::size_t kLargestPem = 64 * 1024;

}  // namespace

std::string PublicKeyText(const Ed25519PublicKey& key) {
    return EncodeBase64(AsText(key.bytes));
}

std::optional<Ed25519PublicKey> ParsePublicKeyText(std::string_view text) {
    const auto bytes = FixedBytes<32>(text);
    if (!bytes)
        return std::nullopt;
    return Ed25519PublicKey{*bytes};
}

std::string SignatureText(const Ed25519Signature& signature) {
    return EncodeBase64(AsText(signature));
}

std::optional<Ed25519Signature> ParseSignatureText(std::string_view text) {
    return FixedBytes<64>(TrimCSpace(text));
}

bool VerifyEd25519(const Ed25519PublicKey& key, std::string_view message,
                   const Ed25519Signature& signature) {
    const std::unique_ptr<EVP_PKEY, FreeKey> publicKey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.bytes.data(), key.bytes.size()));
    if (!publicKey)
        return false;
    const MdContext context = NewMdContext();
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

std::optional<Ed25519PublicKey> FindSigningKey(const std::vector<Ed25519PublicKey>& keys,
                                               std::string_view message,
                                               const Ed25519Signature& signature) {
    for (const Ed25519PublicKey& key : keys) {
        if (VerifyEd25519(key, message, signature))
            return key;
    }
    return std::nullopt;
}

void Ed25519SigningKey::Free::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

std::optional<Ed25519SigningKey> Ed25519SigningKey::Generate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (key == nullptr)
        return std::nullopt;
    return Ed25519SigningKey(key);
}

std::optional<Ed25519SigningKey> Ed25519SigningKey::FromPem(std::string_view pem) {
    // A PEM key is a few hundred bytes; anything near the BIO's int limit is
    // not one.
    if (pem.size() > kLargestPem)
        return std::nullopt;
    const Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio)
        throw std::bad_alloc();
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr);
    if (key == nullptr)
        return std::nullopt;
    Ed25519SigningKey signingKey(key);
    if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519)
        return std::nullopt;
    return signingKey;
}

std::string Ed25519SigningKey::ToPem() const {
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!bio)
        throw std::bad_alloc();
    if (PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw std::runtime_error("the private key cannot be written as PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    std::string pem(data, static_cast<std::size_t>(size));
    // The memory buffer is freed with the BIO; its copy of the key goes first.
    OPENSSL_cleanse(data, static_cast<std::size_t>(size));
    return pem;
}

Ed25519PublicKey Ed25519SigningKey::PublicKey() const {
    Ed25519PublicKey key;
    std::size_t size = key.bytes.size();
    if (EVP_PKEY_get_raw_public_key(key_.get(), key.bytes.data(), &size) != 1 ||
        size != key.bytes.size())
        throw std::runtime_error("the public half of the key cannot be read");
    return key;
}

Ed25519Signature Ed25519SigningKey::Sign(std::string_view message) const {
    const MdContext context = NewMdContext();
    Ed25519Signature signature{};
    std::size_t size = signature.size();
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), signature.data(), &size,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1 ||
        size != signature.size())
        throw std::runtime_error("signing failed");
    return signature;
}

void WipeSecret(std::string& secret) {
    OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}
