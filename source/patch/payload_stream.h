// A package's payload read as a stream: the packed bytes as they come from
// the package file, and the unpacked bytes as a codec hands them out.
//
// Applying a package walks its unpacked payload forward only, so a codec that
// can unpack piece by piece (bzip2, zstd) never holds more than a window of it, and
// a package of gigabytes applies in a few megabytes of memory. A codec whose
// format needs the whole block at once (LZO1X) reads and unpacks it whole and
// hands it out through the same interface (OpenWholeBlock), so there is one
// apply path for every codec. Each codec's opener is a row of the table in
// payload_codec.cpp.
//
// Everything here runs on the thread that applies the package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "patch/byte_reader.h"

enum class PackageCodec;

// The packed payload: the bytes of a package file after its header.
class PackedInput {
  public:
    virtual ~PackedInput() = default;

    // The payload's length in bytes.
    virtual std::uint64_t size() const = 0;
    // Copies up to `capacity` next bytes to `buffer` and sets `*count` to how
    // many; 0 once all size() bytes were read. Returns false when reading
    // fails (the file then counts as unreadable).
    virtual bool Read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) = 0;
    // Goes back to the payload's first byte; false when that fails.
    virtual bool Rewind() = 0;
};

// The unpacked payload, read forward.
class PayloadSource {
  public:
    virtual ~PayloadSource() = default;

    // Hands out up to `max` (at least 1) next unpacked bytes as `*piece`,
    // which stays valid until the next call: at least one byte, or none when
    // the stream ended cleanly. Returns false when the stream is damaged or
    // cut short, or the package cannot be read; every later call then fails
    // too. A source does not know the header's unpacked size: whoever reads
    // it counts the bytes.
    virtual bool Read(std::size_t max, ByteView* piece) = 0;
    // Starts over at the first unpacked byte, so the payload can be read a
    // second time; false when that fails.
    virtual bool Rewind() = 0;
};

// The part every codec that unpacks piece by piece shares: packed bytes are
// read from the package through one bounded window, unpacked into another,
// and handed out of that one. A codec supplies how to start its decompressor
// and how to fill the unpacked window; the windows' sizes bound the memory a
// package of any size needs.
class WindowedSource : public PayloadSource {
  public:
    bool Read(std::size_t max, ByteView* piece) final;
    bool Rewind() final;

    // Allocates the windows (once) and starts the decompressor; false when
    // either cannot be had. Call it once before the first Read.
    bool Start();

  protected:
    explicit WindowedSource(std::unique_ptr<PackedInput> input);

    // Starts the decompressor afresh at the first packed byte (also after a
    // rewind); false when it cannot start.
    virtual bool StartDecompressor() = 0;
    // Unpacks the next bytes into `out`, which has room for `room`, and sets
    // `*produced`: at least one byte unless the stream ended cleanly. False
    // when the stream is damaged or cut short, or the package cannot be read.
    virtual bool Unpack(std::uint8_t* out, std::size_t room, std::size_t* produced) = 0;

    // The next packed bytes, read into the packed window: `*bytes` is empty
    // once the payload is used up. False when the package cannot be read.
    bool ReadPacked(ByteView* bytes);
    PackedInput& input() { return *input_; }

  private:
    bool Fail() {
        failed_ = true;
        return false;
    }

    std::unique_ptr<PackedInput> input_;
    ByteBuffer packed_;
    ByteBuffer unpacked_;
    std::size_t begin_ = 0;  // the part of the unpacked window not handed out yet
    std::size_t end_ = 0;
    bool failed_ = false;
};

// Opens the unpacked payload of `input` for a codec that unpacks one whole
// block: reads `input` whole now (null when that fails or the bytes cannot be
// held) and releases it, closing the package file. The block is unpacked on
// the first Read, with DecompressPayload (payload_codec.h): a stream that is
// damaged or does not give exactly `unpackedSize` bytes fails that Read.
std::unique_ptr<PayloadSource> OpenWholeBlock(PackageCodec codec,
                                              std::unique_ptr<PackedInput> input,
                                              std::uint32_t unpackedSize);
