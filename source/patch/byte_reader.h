// Bytes that came from afar: a view of them, reads that never run past them,
// and buffers whose size they announce.
//
// A package is read forward only, and every read is bounded: a field, a name
// or a data block that would run past the bytes at hand makes the reader
// report failure instead of reading on. Lengths are compared against what is
// left, never added to an offset first, so no announced length can wrap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

using ByteView = std::span<const std::uint8_t>;

// ---------------------------------------------------------------------------
// Little-endian reads that report failure instead of reading past the end.

class LittleEndianReader {
  public:
    explicit LittleEndianReader(ByteView bytes) : bytes_(bytes) {}

    // Each returns false, and consumes nothing, when fewer bytes are left than
    // the value needs.
    bool ReadU32(std::uint32_t* value);
    bool ReadI32(std::int32_t* value);
    bool ReadBytes(std::size_t count, ByteView* bytes);

    std::size_t offset() const { return offset_; }
    std::size_t remaining() const { return bytes_.size() - offset_; }

  private:
    ByteView bytes_;
    std::size_t offset_ = 0;
};

// ---------------------------------------------------------------------------
// A byte buffer whose size comes from a package.
//
// A package announces its own sizes, so an allocation may be far too large
// (an unpacked size near 4 GiB): Allocate reports that instead of throwing.
// The bytes start uninitialised; they are always overwritten next, and
// zeroing hundreds of megabytes first would cost as much as the work itself.
class ByteBuffer {
  public:
    // Replaces the contents with `size` uninitialised bytes. Returns false,
    // leaving the buffer empty, when they cannot be allocated.
    bool Allocate(std::size_t size);
    void Release();
    // Keeps the first `size` bytes as the contents (no reallocation).
    void ShrinkTo(std::size_t size);

    std::uint8_t* data() { return bytes_.get(); }
    std::size_t size() const { return size_; }
    ByteView view() const { return {bytes_.get(), size_}; }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};
