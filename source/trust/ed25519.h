// Ed25519 signatures: the publisher signs the exact bytes of a patch list
// with a private key that never leaves the publisher's machine; the updater
// checks the signature against the public keys built into it.
//
// Public keys and signatures are raw bytes (32 and 64) and travel as base64
// text. A private key is kept as PKCS#8 PEM, the form `openssl pkey` reads.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/types.h>

struct Ed25519PublicKey {
    std::array<std::uint8_t, 32> bytes{};

    bool operator==(const Ed25519PublicKey&) const = default;
};

using Ed25519Signature = std::array<std::uint8_t, 64>;

// A key as the build setting and the publisher's tool write it: the base64
// text of its 32 bytes, nothing around it.
std::string PublicKeyText(const Ed25519PublicKey& key);
std::optional<Ed25519PublicKey> ParsePublicKeyText(std::string_view text);

// A detached signature file's text: the base64 of the 64 signature bytes,
// with any white space around it (a line end, say). Nothing when the text is
// not canonical base64 or not 64 bytes.
std::string SignatureText(const Ed25519Signature& signature);
std::optional<Ed25519Signature> ParseSignatureText(std::string_view text);

// Whether `signature` was made over `message` by the private half of `key`.
bool VerifyEd25519(const Ed25519PublicKey& key, std::string_view message,
                   const Ed25519Signature& signature);

// The first of `keys` that made `signature` over `message`; nothing when
// none did.
std::optional<Ed25519PublicKey> FindSigningKey(const std::vector<Ed25519PublicKey>& keys,
                                               std::string_view message,
                                               const Ed25519Signature& signature);

// A private key in memory, for the publisher's tool. Never printed, never
// written anywhere but the key file its owner names.
class Ed25519SigningKey {
  public:
    // Nothing when the system's random source or OpenSSL fails.
    static std::optional<Ed25519SigningKey> Generate();
    // Nothing when `pem` holds no unencrypted Ed25519 private key.
    static std::optional<Ed25519SigningKey> FromPem(std::string_view pem);

    // The PKCS#8 PEM text of the key: the secret itself. The caller writes it
    // to a file only its owner can read, then wipes it (WipeSecret).
    std::string ToPem() const;
    Ed25519PublicKey PublicKey() const;
    Ed25519Signature Sign(std::string_view message) const;

  private:
    struct Free {
        void operator()(EVP_PKEY* key) const;
    };
    explicit Ed25519SigningKey(EVP_PKEY* key) : key_(key) {}

    std::unique_ptr<EVP_PKEY, Free> key_;
};

// Overwrites a string that held a secret before it is let go, so the key's
// bytes do not linger in freed memory.
void WipeSecret(std::string& secret);
