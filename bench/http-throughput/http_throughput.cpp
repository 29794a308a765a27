// Fetches one package with HttpGet, as the worker does, and prints how long
// the exchange took. bench/http-throughput runs it beside curl and measures
// its peak memory from outside.
//   http-throughput URL
// Prints "bytes=N seconds=S code=C complete=0|1"; exits non-zero when the
// exchange failed or the body did not arrive whole.
#include <chrono>
#include <cstdio>
#include <string>

#include "transfer/http_get.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s URL\n", argv[0]);
        return 2;
    }
    std::string response;
    const auto start = std::chrono::steady_clock::now();
    const HttpResult result = HttpGet({argv[1], BodyKind::kPackage, {500, 0}}, response);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const int code = result.code;
    const bool complete = result.wholeAsAnnounced;
    std::printf("bytes=%zu seconds=%.6f code=%d complete=%d\n", response.size(), elapsed.count(),
                code, complete ? 1 : 0);
    return code == 0 && complete ? 0 : 1;
}
