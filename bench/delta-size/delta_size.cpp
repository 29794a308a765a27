// The size of a delta once compressed, and how long it takes to build and to
// apply, for one pair of files.
//
//   delta-size OLD NEW OUT
//
// Builds the delta of NEW against OLD, compresses it with zstd at level 19
// (as a package would carry it), then unpacks it piece by piece into the
// streaming applier, which writes OUT, and checks that OUT is NEW. Prints
// one line:
//   new BYTES delta BYTES compressed BYTES build SECONDS apply SECONDS
// Exits 1 when a file cannot be read, the delta cannot be built or it does
// not give NEW back.
#include <zstd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "delta/delta_applier.h"
#include "delta/delta_builder.h"

namespace {

bool ReadWhole(const char* path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes->assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad() && in.is_open();
}

std::span<const std::uint8_t> View(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: delta-size OLD NEW OUT\n");
        return 2;
    }
    std::string oldBytes;
    std::string newBytes;
    if (!ReadWhole(argv[1], &oldBytes) || !ReadWhole(argv[2], &newBytes)) {
        std::fprintf(stderr, "delta-size: cannot read the files\n");
        return 1;
    }

    auto start = std::chrono::steady_clock::now();
    std::string delta;
    if (!BuildDelta(View(oldBytes), View(newBytes), &delta)) {
        std::fprintf(stderr, "delta-size: the delta could not be built\n");
        return 1;
    }
    const double buildSeconds = SecondsSince(start);

    std::string packed(ZSTD_compressBound(delta.size()), '\0');
    const std::size_t packedSize =
        ZSTD_compress(packed.data(), packed.size(), delta.data(), delta.size(), 19);
    if (ZSTD_isError(packedSize)) {
        std::fprintf(stderr, "delta-size: zstd failed\n");
        return 1;
    }

    // Applying is timed as an updater does it: the compressed delta unpacked
    // in pieces, each piece fed to the applier, the output written to a file.
    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "delta-size: cannot write %s\n", argv[3]);
        return 1;
    }
    start = std::chrono::steady_clock::now();
    DeltaApplier applier(View(oldBytes), newBytes.size(),
                         [&](const std::uint8_t* bytes, std::size_t size) {
                             return std::fwrite(bytes, 1, size, out) == size;
                         });
    ZSTD_DStream* stream = ZSTD_createDStream();
    std::string piece(ZSTD_DStreamOutSize(), '\0');
    ZSTD_inBuffer input = {packed.data(), packedSize, 0};
    bool fed = true;
    while (fed && input.pos < input.size) {
        ZSTD_outBuffer output = {piece.data(), piece.size(), 0};
        fed = !ZSTD_isError(ZSTD_decompressStream(stream, &output, &input)) &&
              applier.Feed(reinterpret_cast<const std::uint8_t*>(piece.data()), output.pos);
    }
    ZSTD_freeDStream(stream);
    const bool finished = fed && applier.Finish();
    const bool closed = std::fclose(out) == 0;
    const double applySeconds = SecondsSince(start);
    std::string applied;
    if (!finished || !closed || !ReadWhole(argv[3], &applied) || applied != newBytes) {
        std::fprintf(stderr, "delta-size: the delta did not give the new file back\n");
        return 1;
    }
    std::printf("new %zu delta %zu compressed %zu build %.3f apply %.3f\n", newBytes.size(),
                delta.size(), packedSize, buildSeconds, applySeconds);
    return 0;
}
