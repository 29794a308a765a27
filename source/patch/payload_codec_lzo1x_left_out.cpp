// LZO1X in a build without liblzo2: the codec keeps its row, so its magic
// and name are still known, but nothing packs or unpacks with it. A package
// made with it is refused as unreadable before anything changes.
#include <cstdint>
#include <memory>
#include <string>

#include "patch/payload_codec.h"

bool UnpackLzo1x(ByteView, ByteBuffer*, std::size_t* produced) {
    *produced = 0;
    return false;
}

std::unique_ptr<PayloadSource> OpenLzo1x(std::unique_ptr<PackedInput>, std::uint32_t) {
    return nullptr;
}

bool PackLzo1x(const std::string&, std::string*) {
    return false;
}
