// Applying a delta as its bytes arrive (the layout is in delta_format.h).
//
// The delta is fed in whatever pieces the stream it is read from delivers;
// each time a block is complete it is checked whole, and only then is its
// output made and handed to the sink in one piece. So the applier holds the
// old file (a view of the caller's bytes), one block and its output (3 MiB
// at most), never the new file or the whole delta.
//
// Everything read is checked before it is used: lengths against what the
// block has, old-file positions against the old file, output against the
// declared new size. Damaged input stops the applier with a failure, never
// with a read or write outside its buffers. Output already handed to the
// sink stays handed: a caller writes it to a staging file and discards that
// on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

enum class DeltaFailure {
    kNone,
    kNotADelta,       // the header's magic is wrong
    kWrongOldFile,    // the delta was made from an old file of another length
    kWrongNewSize,    // the delta makes another length than the declared one
    kDamagedBlock,    // a block's lengths, records or old-file positions are wrong
    kOutputTooLong,   // a block would write past the new size
    kOutputTooShort,  // the end marker came before the new size was written
    kBytesAfterEnd,   // bytes follow the end marker
    kTruncated,       // Finish came before the end marker
    kSinkFailed,      // the sink refused output
    kOutOfMemory,     // a block's buffer could not be allocated
};

// Used by one thread at a time; the sink runs on the thread that calls Feed.
class DeltaApplier {
  public:
    // Receives the new file's bytes in order, a block's output at a time;
    // returns false to stop the applier (a failed write).
    using Sink = std::function<bool(const std::uint8_t* bytes, std::size_t size)>;

    // `oldBytes` must stay alive and unchanged while the applier is used.
    DeltaApplier(std::span<const std::uint8_t> oldBytes, std::uint64_t newSize, Sink sink);

    // Takes the next `size` bytes of the delta. Returns false once the
    // applier has failed (failure() says why); it takes nothing more then.
    bool Feed(const std::uint8_t* bytes, std::size_t size);

    // True when the delta ended with its end marker, nothing after it, and
    // exactly the declared new size was written.
    bool Finish();

    DeltaFailure failure() const { return failure_; }
    std::uint64_t written() const { return written_; }

  private:
    enum class Stage { kHeader, kBlockHeader, kBlockBody, kEnded };

    bool Fail(DeltaFailure failure);
    bool TakeHeader();
    bool TakeBlockHeader();
    bool RecordsFit() const;
    bool ApplyBlock();

    std::span<const std::uint8_t> old_;
    std::uint64_t newSize_;
    Sink sink_;
    Stage stage_ = Stage::kHeader;
    DeltaFailure failure_ = DeltaFailure::kNone;
    std::uint64_t written_ = 0;
    std::uint64_t oldPosition_ = 0;
    // The part being collected: the header, a block header or a block body.
    std::vector<std::uint8_t> pending_;
    std::size_t wanted_ = 0;
    std::uint32_t recordCount_ = 0;
    std::uint32_t differenceLength_ = 0;
    std::uint32_t literalLength_ = 0;
    std::vector<std::uint8_t> output_;
};
