// SHA-256, taken piece by piece as bytes arrive: a package's digest is known
// the moment its last byte is in, without a second pass over it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/types.h>

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
  public:
    // Throws std::bad_alloc when OpenSSL cannot get the memory for its state.
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, std::size_t size);
    // The digest of everything given so far; afterwards the object starts
    // afresh, as if just made.
    Sha256Digest Finish();

  private:
    EVP_MD_CTX* context_;
};

Sha256Digest Sha256Of(std::string_view bytes);

// 64 lower-case hex digits.
std::string Sha256Hex(const Sha256Digest& digest);
// Exactly 64 hex digits, either case; nothing for anything else.
std::optional<Sha256Digest> ParseSha256Hex(std::string_view text);
