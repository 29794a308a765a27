// The payload codecs: how the payload of a package is packed and unpacked.
//
// Each codec is one row of the table in payload_codec.cpp: its PackageCodec
// value, the magic that names it in a package header, the name publishers
// use, the room its decompressor is given beyond the unpacked size, and its
// unpack, open and pack functions, which live in a file of their own
// (payload_codec_lzo1x.cpp, payload_codec_bzip2.cpp, payload_codec_zstd.cpp). Everything that
// depends on the codec (reading and writing the header's magic, unpacking whole or as a stream,
// packing, the names patchtool prints and takes) looks the codec up here, so a new codec is an enum
// value, a file and a row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "patch/byte_reader.h"
#include "patch/payload_stream.h"

enum class PackageCodec { kLzo1x, kBzip2, kZstd };

// Unpacks `payload` into `*unpacked`, which the caller allocated with room
// for the unpacked size and the codec's slack, and sets `*produced` to the
// bytes it wrote. Returns false when the stream is damaged, truncated, or
// would need more room than the buffer has.
using UnpackFunction = bool (*)(ByteView payload, ByteBuffer* unpacked, std::size_t* produced);

// Opens the unpacked payload of a package for reading forward (see
// PayloadSource in payload_stream.h), taking `input` over. A codec that can
// unpack piece by piece holds no more than a window of the payload at any
// time; one that cannot reads and unpacks the whole block (OpenWholeBlock).
// Returns null when `input` cannot be read or the decompressor cannot start.
using OpenFunction = std::unique_ptr<PayloadSource> (*)(std::unique_ptr<PackedInput> input,
                                                        std::uint32_t unpackedSize);

// Appends the packed form of `payload` to `*out`. Returns false when the
// library refuses (the payload too large for it, memory exhausted). The same
// payload always gives the same bytes.
using PackFunction = bool (*)(const std::string& payload, std::string* out);

struct PayloadCodec {
    PackageCodec codec;
    std::uint32_t magic;  // the header's first four bytes, read little-endian
    const char* name;     // as patchtool prints it and takes it after --codec
    // The decompressor is handed this much more room than the unpacked size,
    // so that a stream that runs slightly long is recognised as wrong instead
    // of cut off to look right.
    std::size_t unpackSlack;
    // Whether the payload may hold delta entries (package_format.h). Only
    // codecs newer than that entry kind allow it: an updater that knows no
    // delta entries does not know such a codec's magic either, so it refuses
    // the whole package before it changes anything, instead of applying the
    // entries up to the first delta entry.
    bool deltaEntries;
    UnpackFunction unpack;
    OpenFunction open;
    PackFunction pack;
    // False for a codec this build leaves out (LZO1X without liblzo2): its
    // magic and name are known, but its functions refuse every payload.
    bool inThisBuild;
};

// Every codec, in the order of PackageCodec.
std::span<const PayloadCodec> PayloadCodecs();

// The row of `codec`.
const PayloadCodec& CodecOf(PackageCodec codec);
// The row whose magic is `magic`, or null when no codec has it.
const PayloadCodec* CodecWithMagic(std::uint32_t magic);
// The row named `name`, or null when no codec has that name.
const PayloadCodec* CodecNamed(std::string_view name);

// Unpacks `payload` into `unpacked`, which then holds exactly `unpackedSize`
// bytes. Returns false when the buffer cannot be allocated, the stream is
// damaged or truncated, or it does not unpack to exactly `unpackedSize`
// bytes. Bytes after the end marker of an LZO1X stream are ignored; bytes
// after a zstd frame are refused.
bool DecompressPayload(PackageCodec codec, ByteView payload, std::uint32_t unpackedSize,
                       ByteBuffer* unpacked);

// Packs `payload` with `codec` (LZO1X-1, bzip2 at its strongest block size,
// or zstd at level 19 with an 8 MiB window) and appends the result to `*out`.
bool CompressPayload(PackageCodec codec, const std::string& payload, std::string* out);

// The size of `payload` packed fast (zstd at level 3), or SIZE_MAX when it
// cannot be packed: a cheap measure to rank candidate encodings of one file
// by, never the bytes of a package.
std::size_t QuickPackedSize(const std::string& payload);
