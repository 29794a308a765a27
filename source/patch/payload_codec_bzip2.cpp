// bzip2: packed at the strongest block size, unpacked in one call.
#include <bzlib.h>

#include <algorithm>
#include <climits>
#include <string>

#include "patch/payload_codec.h"

namespace {

// bzip2's strongest block size and its default work factor (0 picks it).
constexpr int kBzip2BlockSize100k = 9;
constexpr int kBzip2WorkFactor = 0;

}  // namespace

bool UnpackBzip2(ByteView payload, ByteBuffer* unpacked, std::size_t* produced) {
    // The library counts in unsigned int. A payload longer than that cannot be
    // handed over whole; a capacity beyond it is cut to it, which still leaves
    // room for any U, since U itself is a 32-bit field.
    if (payload.size() > UINT_MAX)
        return false;
    unsigned int capacity =
        static_cast<unsigned int>(std::min<std::size_t>(unpacked->size(), UINT_MAX));
    // The library's interface is not const-correct; it only reads the source.
    char* source = const_cast<char*>(reinterpret_cast<const char*>(payload.data()));
    const int result =
        BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(unpacked->data()), &capacity, source,
                                   static_cast<unsigned int>(payload.size()), 0, 0);
    *produced = capacity;
    return result == BZ_OK;
}

bool PackBzip2(const std::string& payload, std::string* out) {
    if (payload.size() > UINT_MAX)
        return false;
    // bzlib's documented worst case: 1% above the input plus 600 bytes.
    const std::size_t bound = payload.size() + payload.size() / 100 + 600;
    if (bound > UINT_MAX)
        return false;
    const std::size_t start = out->size();
    out->resize(start + bound);
    unsigned int produced = static_cast<unsigned int>(bound);
    // The library's interface is not const-correct; it only reads the source.
    const int result = BZ2_bzBuffToBuffCompress(
        out->data() + start, &produced, const_cast<char*>(payload.data()),
        static_cast<unsigned int>(payload.size()), kBzip2BlockSize100k, 0, kBzip2WorkFactor);
    if (result != BZ_OK)
        return false;
    out->resize(start + produced);
    return true;
}
