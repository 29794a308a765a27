// Fetches one package with HttpGet, as the worker does, and prints how long
// the exchange took. With --sha256 a body observer takes the body's SHA-256
// as the pieces arrive, as a package's digest is taken, so that a run with
// and one without show what the digest costs. bench/https-throughput runs
// it beside curl.
//   https-throughput [--sha256] URL
// Prints "bytes=N seconds=S code=C complete=0|1" and, with --sha256,
// " sha256=HEX"; exits non-zero when the exchange failed or the body did not
// arrive whole. An https URL needs its CA in SSL_CERT_FILE.
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "transfer/http_get.h"

namespace {

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string Hex(const unsigned char* bytes, unsigned int size) {
    std::string text;
    char pair[3];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const bool digest = argc == 3 && std::string(argv[1]) == "--sha256";
    if (argc != 2 && !digest) {
        std::fprintf(stderr, "usage: %s [--sha256] URL\n", argv[0]);
        return 2;
    }
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        std::fprintf(stderr, "cannot start SHA-256\n");
        return 1;
    }
    HttpRequest request{argv[argc - 1], BodyKind::kPackage, {500, 0}};
    if (digest) {
        request.observeBody = [&context](const char* data, std::size_t size) {
            EVP_DigestUpdate(context.get(), data, size);
        };
    }
    std::string response;
    const auto start = std::chrono::steady_clock::now();
    const HttpResult result = HttpGet(request, response);
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int sumSize = 0;
    if (digest)
        EVP_DigestFinal_ex(context.get(), sum, &sumSize);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const int code = result.code;
    const bool complete = result.wholeAsAnnounced;
    std::printf("bytes=%zu seconds=%.6f code=%d complete=%d", response.size(), elapsed.count(),
                code, complete ? 1 : 0);
    if (digest)
        std::printf(" sha256=%s", Hex(sum, sumSize).c_str());
    std::printf("\n");
    return code == 0 && complete ? 0 : 1;
}
