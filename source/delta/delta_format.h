// The delta format: a new file described as old bytes plus small differences,
// and the bytes the old file does not have.
//
// A delta is read once, front to back, out of a compressed stream, and the
// new file is written front to back as it is read. So the delta is a sequence
// of self-contained blocks, each producing at most kMaxBlockOutput bytes of
// the new file, and an applier holds one block at a time next to the old
// file. Inside a block the records, the difference bytes and the literal
// bytes are kept apart, because each kind compresses best beside its own
// kind: differences against code whose addresses merely moved are mostly
// zeros.
//
// All integers are little-endian with the fixed widths given. Header (20 bytes):
//
//   offset size  field
//   0      4     magic          "DLT1" (0x31544C44)
//   4      8     old size       length of the file the delta applies to
//   12     8     new size       length of the file it makes
//
// Then blocks, laid end to end. Block header (12 bytes):
//
//   0      4     record count R   at most kMaxBlockRecords
//   4      4     literal length L
//   8      4     difference length D   D + L is the block's output, at most kMaxBlockOutput
//   12     16*R  records
//   ...    L     literal bytes
//   ...    D     difference bytes
//
// A block header of three zeros is the end marker; nothing may follow it. Any
// other block has R > 0 and D + L > 0. (The literals come before the
// differences because the compressor then packs rebuilt programs about 1%
// smaller.)
//
// A record (16 bytes) makes the next part of the output:
//
//   0      8     seek      signed; moves the old-file position before copying
//   8      4     copy length C   C bytes of output, each the old byte at the
//                          position plus the next difference byte (modulo 256);
//                          the position then stands behind them
//   12     4     literal length   that many literal bytes, copied as they are
//
// The old-file position starts at 0 and carries over from block to block. The
// copy lengths of a block's records sum to D and their literal lengths to L. The
// position after a seek must lie within the old file (its end included), and
// the C bytes copied from it must too. The blocks together must produce
// exactly the new size; the end marker closes a delta that did.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t kDeltaMagic = 0x31544C44;  // "DLT1"
inline constexpr std::size_t kDeltaHeaderSize = 20;
inline constexpr std::size_t kBlockHeaderSize = 12;
inline constexpr std::size_t kRecordSize = 16;

// 1 MiB of output per block: an applier holds little besides the old file,
// and the compressor still sees long runs of each kind. On a 6 MB program
// with debug information, 4 MiB blocks made the compressed delta only 0.4%
// smaller and 256 KiB blocks 0.6% larger.
inline constexpr std::uint32_t kMaxBlockOutput = 1u << 20;
// Bounds the records an applier buffers: many tiny records would otherwise
// make a block's records sixteen times the size of its output.
inline constexpr std::uint32_t kMaxBlockRecords = 1u << 16;

// Little-endian fields, written and read at a given place.
inline void PutLe(std::uint64_t value, std::size_t width, std::uint8_t* out) {
    for (std::size_t i = 0; i < width; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint64_t GetLe(const std::uint8_t* in, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
    return value;
}
