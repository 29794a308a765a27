#include "patch/byte_reader.h"

#include <algorithm>
#include <new>

// ---------------------------------------------------------------------------
// LittleEndianReader

bool LittleEndianReader::ReadU32(std::uint32_t* value) {
    if (remaining() < 4)
        return false;
    const std::uint8_t* p = bytes_.data() + offset_;
    *value = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
             static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    offset_ += 4;
    return true;
}

bool LittleEndianReader::ReadI32(std::int32_t* value) {
    std::uint32_t raw = 0;
    if (!ReadU32(&raw))
        return false;
    *value = static_cast<std::int32_t>(raw);  // two's complement, as written
    return true;
}

bool LittleEndianReader::ReadBytes(std::size_t count, ByteView* bytes) {
    if (count > remaining())
        return false;
    *bytes = bytes_.subspan(offset_, count);
    offset_ += count;
    return true;
}

// ---------------------------------------------------------------------------
// ByteBuffer

bool ByteBuffer::Allocate(std::size_t size) {
    Release();
    // new[] of zero elements still gives a distinct pointer, so an empty
    // payload is an ordinary buffer rather than a failed allocation.
    bytes_.reset(new (std::nothrow) std::uint8_t[size]);
    if (!bytes_)
        return false;
    size_ = size;
    return true;
}

void ByteBuffer::Release() {
    bytes_.reset();
    size_ = 0;
}

void ByteBuffer::ShrinkTo(std::size_t size) {
    size_ = std::min(size, size_);
}
