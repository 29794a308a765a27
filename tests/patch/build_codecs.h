// The codecs a test may use: a build can leave LZO1X out
// (-DUPDATER_WITH_LZO=OFF), and the suite runs in such a build too.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "patch/package_format.h"
#include "patch/payload_codec.h"

namespace testing_support {

inline bool BuildHasLzo() {
    return CodecOf(PackageCodec::kLzo1x).inThisBuild;
}

// For a test that needs a package and does not care how it is packed: LZO1X,
// the codec of most packages installations meet, when the build has it, and
// bzip2, which every build has, otherwise.
inline PackageCodec AnyCodec() {
    return BuildHasLzo() ? PackageCodec::kLzo1x : PackageCodec::kBzip2;
}
inline const char* AnyCodecName() {
    return CodecOf(AnyCodec()).name;
}

// Every codec this build packs and unpacks, in the codec table's order.
inline std::vector<PackageCodec> CodecsInThisBuild() {
    std::vector<PackageCodec> codecs;
    for (const PayloadCodec& codec : PayloadCodecs()) {
        if (codec.inThisBuild)
            codecs.push_back(codec.codec);
    }
    return codecs;
}

// An LZO1X package packed by hand, so that a build without liblzo2 can make
// one too: the header, then `payload` as one literal run (at most 238 bytes)
// and the stream's end marker.
inline std::string HandPackedLzoPackage(PackedVersion version, const std::string& payload) {
    std::string package;
    for (const std::uint32_t field : {CodecOf(PackageCodec::kLzo1x).magic, version,
                                      static_cast<std::uint32_t>(payload.size())}) {
        for (int shift = 0; shift < 32; shift += 8)
            package += static_cast<char>(field >> shift & 0xFF);
    }
    EXPECT_LE(payload.size(), 238u);
    package += static_cast<char>(17 + payload.size());
    package += payload;
    return package + std::string("\x11\x00\x00", 3);
}

}  // namespace testing_support

// Skips the rest of a test about LZO1X itself in a build without it.
#define SKIP_UNLESS_BUILD_HAS_LZO()                        \
    do {                                                   \
        if (!::testing_support::BuildHasLzo())             \
            GTEST_SKIP() << "this build leaves LZO1X out"; \
    } while (false)
