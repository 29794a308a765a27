// Helper of bench/release-deltas/run: the apply alone, without the copy of
// OLD and the comparison with NEW that `patchtool verify` adds around it.
//
//   release-deltas ROOT DOWNLOAD_DIR PACKAGE X.Y.Z
//
// Applies DOWNLOAD_DIR/PACKAGE below ROOT once with the updater's own code,
// as a package for version X.Y.Z, and prints its wall seconds and the
// process's peak resident memory in KiB on one line. ROOT is changed in
// place, so the caller hands it a fresh copy of OLD. Exit status 1 when the
// package is refused or fails.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "patch/patch_package.h"
#include "vocabulary/packed_version.h"

namespace {

// The high-water mark the kernel keeps for this process, in KiB; 0 when
// /proc does not tell.
long PeakResidentKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int numbers[3] = {0, 0, 0};
    if (argc != 5 || ScanVersionNumbers(argv[4], numbers) != 3) {
        std::fprintf(stderr, "usage: release-deltas ROOT DOWNLOAD_DIR PACKAGE X.Y.Z\n");
        return 2;
    }
    const InstallationFolders folders{argv[1], argv[2]};
    const PackedVersion version = PackVersion(numbers[0], numbers[1], numbers[2]);
    const auto start = std::chrono::steady_clock::now();
    const bool applied = ApplyPatchPackage(folders, argv[3], version, {});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!applied) {
        std::fprintf(stderr, "release-deltas: applying %s failed\n", argv[3]);
        return 1;
    }
    std::printf("%.3f %ld\n", seconds, PeakResidentKib());
    return 0;
}
