#include "patch/payload_codec.h"

#include <algorithm>
#include <cstdint>

#include "build_config.h"

// Each codec's own file defines its functions.
bool UnpackLzo1x(ByteView payload, ByteBuffer* unpacked, std::size_t* produced);
std::unique_ptr<PayloadSource> OpenLzo1x(std::unique_ptr<PackedInput> input,
                                         std::uint32_t unpackedSize);
bool PackLzo1x(const std::string& payload, std::string* out);
bool UnpackBzip2(ByteView payload, ByteBuffer* unpacked, std::size_t* produced);
std::unique_ptr<PayloadSource> OpenBzip2(std::unique_ptr<PackedInput> input,
                                         std::uint32_t unpackedSize);
bool PackBzip2(const std::string& payload, std::string* out);
bool UnpackZstd(ByteView payload, ByteBuffer* unpacked, std::size_t* produced);
std::unique_ptr<PayloadSource> OpenZstd(std::unique_ptr<PackedInput> input,
                                        std::uint32_t unpackedSize);
bool PackZstd(const std::string& payload, std::string* out);

namespace {

// One row per codec; the magics are the four bytes a package starts with.
constexpr PayloadCodec kCodecs[] = {
    {PackageCodec::kLzo1x, 0x42425544 /* "DUBB" */, "lzo", 16, false, UnpackLzo1x, OpenLzo1x,
     PackLzo1x, kBuildWithLzo},
    {PackageCodec::kBzip2, 0x4242425A /* "ZBBB" */, "bzip2", 600, false, UnpackBzip2, OpenBzip2,
     PackBzip2, true},
    {PackageCodec::kZstd, 0x4454535A /* "ZSTD" */, "zstd", 16, true, UnpackZstd, OpenZstd, PackZstd,
     true},
};

// CodecOf indexes the table by the enum's value.
constexpr bool InEnumOrder() {
    for (std::size_t i = 0; i < std::size(kCodecs); ++i) {
        if (static_cast<std::size_t>(kCodecs[i].codec) != i)
            return false;
    }
    return true;
}
static_assert(InEnumOrder(), "the codec table must list the codecs in the order of PackageCodec");

}  // namespace

std::span<const PayloadCodec> PayloadCodecs() {
    return kCodecs;
}

const PayloadCodec& CodecOf(PackageCodec codec) {
    return kCodecs[static_cast<std::size_t>(codec)];
}

const PayloadCodec* CodecWithMagic(std::uint32_t magic) {
    const auto it = std::find_if(std::begin(kCodecs), std::end(kCodecs),
                                 [&](const PayloadCodec& row) { return row.magic == magic; });
    return it == std::end(kCodecs) ? nullptr : &*it;
}

const PayloadCodec* CodecNamed(std::string_view name) {
    const auto it = std::find_if(std::begin(kCodecs), std::end(kCodecs),
                                 [&](const PayloadCodec& row) { return row.name == name; });
    return it == std::end(kCodecs) ? nullptr : &*it;
}

bool DecompressPayload(PackageCodec codec, ByteView payload, std::uint32_t unpackedSize,
                       ByteBuffer* unpacked) {
    const PayloadCodec& row = CodecOf(codec);
    if (unpackedSize > SIZE_MAX - row.unpackSlack)
        return false;
    if (!unpacked->Allocate(unpackedSize + row.unpackSlack))
        return false;
    std::size_t produced = 0;
    if (!row.unpack(payload, unpacked, &produced) || produced != unpackedSize) {
        unpacked->Release();
        return false;
    }
    unpacked->ShrinkTo(produced);
    return true;
}

bool CompressPayload(PackageCodec codec, const std::string& payload, std::string* out) {
    return CodecOf(codec).pack(payload, out);
}
