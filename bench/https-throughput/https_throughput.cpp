// Fetches one package to disk with DownloadPackage, as the worker does, and
// prints how long it took. With --sha256 the record carries the package's
// digest: the download takes the SHA-256 as the body arrives and keeps the
// file only when it matches, so a run with and one without show what the
// digest costs. bench/https-throughput runs it beside curl, directly and with
// https_proxy in its environment, through a proxy as a user's would be.
//   https-throughput [--sha256 HEX] URL FOLDER
// FOLDER is the installation; the package lands in FOLDER/download/. Prints
// "bytes=N seconds=S code=C" and exits non-zero when the download failed. An
// https URL needs its CA in SSL_CERT_FILE.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/package_download.h"
#include "engine/update_worker.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    const bool digest = argc == 5 && std::string(argv[1]) == "--sha256";
    if (argc != 3 && !digest) {
        std::fprintf(stderr, "usage: %s [--sha256 HEX] URL FOLDER\n", argv[0]);
        return 2;
    }
    SelectedPatch patch;
    patch.url = argv[argc - 2];
    if (digest) {
        patch.digest = ParseDigestField(std::string("sha256=") + argv[2]);
        if (patch.digest.kind != PackageDigest::Kind::kSha256) {
            std::fprintf(stderr, "not a SHA-256: %s\n", argv[2]);
            return 2;
        }
    }
    const std::filesystem::path folder = argv[argc - 1];
    std::filesystem::create_directories(folder / "download");
    const std::string path = (folder / "download" / PackageFileName(patch.url)).string();
    platform::StartSockets();
    const auto start = std::chrono::steady_clock::now();
    const ErrorCode code = DownloadPackage({patch, folder.string(), path});
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    platform::StopSockets();
    std::error_code error;
    const auto bytes = std::filesystem::file_size(path, error);
    std::printf("bytes=%llu seconds=%.6f code=%d\n",
                error ? 0ULL : static_cast<unsigned long long>(bytes), elapsed.count(),
                static_cast<int>(code));
    return code == kOk ? 0 : 1;
}
