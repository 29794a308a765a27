#include "private_key.h"

#include <cstdio>

#include "platform/platform.h"
#include "utf8_path.h"

namespace {

// Larger than any PEM private key; a key file is never read past it.
constexpr std::size_t kKeyFileCap = 64 * 1024;

// Wipes a secret's buffer when it goes, whichever way the reader leaves.
class WipedOnExit {
  public:
    explicit WipedOnExit(std::string& secret) : secret_(secret) {}
    ~WipedOnExit() { WipeSecret(secret_); }
    WipedOnExit(const WipedOnExit&) = delete;
    WipedOnExit& operator=(const WipedOnExit&) = delete;

  private:
    std::string& secret_;
};

}  // namespace

std::optional<Ed25519SigningKey> ReadPrivateKey(const std::filesystem::path& path,
                                                std::string* error) {
    const std::string file = Utf8Of(path);
    const std::string named = "'" + file + "'";
    if (platform::OthersMayRead(file)) {
        *error = named + " can be read by others than its owner; make it private first: " +
                 platform::MakePrivateCommand(file);
        return std::nullopt;
    }
    std::FILE* in = platform::OpenFile(file, "rb");
    if (in == nullptr) {
        *error = "cannot open " + named;
        return std::nullopt;
    }
    // Without a stream buffer the bytes go from the system straight into
    // `pem`, which is never reallocated: no other copy is made to be wiped.
    std::setvbuf(in, nullptr, _IONBF, 0);
    std::string pem(kKeyFileCap + 1, '\0');
    const WipedOnExit wiped(pem);
    const std::size_t size = platform::ReadFile(pem.data(), 1, pem.size(), in);
    const bool failed = std::ferror(in) != 0;
    platform::CloseFile(in);
    std::optional<Ed25519SigningKey> key;
    if (failed)
        *error = "cannot read " + named;
    else if (size > kKeyFileCap)
        *error = named + " is larger than any private key";
    else if (!(key = Ed25519SigningKey::FromPem(std::string_view(pem.data(), size))))
        *error = named + " holds no unencrypted Ed25519 private key (patchtool keygen makes one)";
    return key;
}
