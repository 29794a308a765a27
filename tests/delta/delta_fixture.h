// Building and applying deltas of byte strings, and the files to make them of.
#pragma once

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <random>
#include <span>
#include <string>

#include "delta/delta_applier.h"
#include "delta/delta_builder.h"

namespace testing_support {

inline std::span<const std::uint8_t> View(const std::string& bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

inline std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

inline std::string MakeDelta(const std::string& oldBytes, const std::string& newBytes) {
    std::string delta;
    EXPECT_TRUE(BuildDelta(View(oldBytes), View(newBytes), &delta));
    return delta;
}

// What a package would carry: the delta compressed as the publisher does.
inline std::size_t CompressedSize(const std::string& bytes) {
    std::string packed(ZSTD_compressBound(bytes.size()), '\0');
    const std::size_t size =
        ZSTD_compress(packed.data(), packed.size(), bytes.data(), bytes.size(), 19);
    EXPECT_FALSE(ZSTD_isError(size));
    return size;
}

struct Applied {
    bool finished = false;
    DeltaFailure failure = DeltaFailure::kNone;
    std::string output;
    std::size_t largestWrite = 0;
};

// Feeds `delta` to an applier `piece` bytes at a time, as a stream would.
inline Applied ApplyInPieces(const std::string& oldBytes, std::uint64_t newSize,
                             const std::string& delta, std::size_t piece = 65536) {
    Applied result;
    DeltaApplier applier(View(oldBytes), newSize, [&](const std::uint8_t* bytes, std::size_t size) {
        result.output.append(reinterpret_cast<const char*>(bytes), size);
        result.largestWrite = std::max(result.largestWrite, size);
        return true;
    });
    for (std::size_t at = 0; at < delta.size(); at += piece) {
        const std::size_t size = std::min(piece, delta.size() - at);
        if (!applier.Feed(reinterpret_cast<const std::uint8_t*>(delta.data()) + at, size))
            break;
    }
    result.finished = applier.Finish();
    result.failure = applier.failure();
    EXPECT_EQ(applier.written(), result.output.size());
    return result;
}

// An old file of `size` random bytes and a new one made of it by the edits
// releases make: bytes inserted and removed, a stretch moved, and one byte
// in 97 bumped by a constant over a wide stretch, as when code moves and the
// addresses it holds follow.
inline std::pair<std::string, std::string> EditedPair(std::size_t size, unsigned seed) {
    std::string oldBytes = RandomBytes(size, seed);
    std::string newBytes = oldBytes;
    for (std::size_t at = size / 10; at + 4 < size / 2; at += 97)
        newBytes[at] = static_cast<char>(newBytes[at] + 0x40);
    newBytes.insert(size / 3, RandomBytes(3000, seed + 1));
    newBytes.erase(size / 2, 5000);
    const std::string moved = newBytes.substr(size / 5, size / 20);
    newBytes.erase(size / 5, moved.size());
    newBytes.insert(newBytes.size() - size / 10, moved);
    newBytes.insert(0, RandomBytes(100, seed + 2));
    return {oldBytes, newBytes};
}

}  // namespace testing_support
