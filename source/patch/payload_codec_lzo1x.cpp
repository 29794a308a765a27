// LZO1X: packed with LZO1X-1, unpacked with the bounds-checking decompressor.
// liblzo2 unpacks a stream only in one call, from one whole buffer into
// another, so the payload is read and unpacked whole.
#include <lzo/lzo1x.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "patch/payload_codec.h"

namespace {

// Initialises liblzo2 once per process; false when the library is unusable.
// Safe to call from any thread, any number of times.
bool LzoReady() {
    static const bool ready = lzo_init() == LZO_E_OK;
    return ready;
}

}  // namespace

bool UnpackLzo1x(ByteView payload, ByteBuffer* unpacked, std::size_t* produced) {
    if (!LzoReady())
        return false;
    lzo_uint written = unpacked->size();
    const int result =
        lzo1x_decompress_safe(payload.data(), payload.size(), unpacked->data(), &written, nullptr);
    *produced = written;
    // A stream followed by other bytes still unpacked whole; the extra bytes
    // are not ours to judge.
    return result == LZO_E_OK || result == LZO_E_INPUT_NOT_CONSUMED;
}

std::unique_ptr<PayloadSource> OpenLzo1x(std::unique_ptr<PackedInput> input,
                                         std::uint32_t unpackedSize) {
    return OpenWholeBlock(PackageCodec::kLzo1x, std::move(input), unpackedSize);
}

bool PackLzo1x(const std::string& payload, std::string* out) {
    if (!LzoReady())
        return false;
    // liblzo2's documented worst case for incompressible input.
    const std::size_t bound = payload.size() + payload.size() / 16 + 64 + 3;
    const std::size_t start = out->size();
    out->resize(start + bound);
    std::unique_ptr<std::uint8_t[]> workMemory(new (std::nothrow)
                                                   std::uint8_t[LZO1X_1_MEM_COMPRESS]);
    if (!workMemory)
        return false;
    lzo_uint produced = bound;
    const int result = lzo1x_1_compress(
        reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(),
        reinterpret_cast<std::uint8_t*>(out->data() + start), &produced, workMemory.get());
    if (result != LZO_E_OK)
        return false;
    out->resize(start + produced);
    return true;
}
