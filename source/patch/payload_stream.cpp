#include "patch/payload_stream.h"

#include <algorithm>
#include <utility>

#include "patch/payload_codec.h"

namespace {

// Reads all of `input` into `*bytes`; false when it cannot be held or read.
bool ReadWhole(PackedInput& input, ByteBuffer* bytes) {
    if (input.size() > SIZE_MAX || !bytes->Allocate(static_cast<std::size_t>(input.size())))
        return false;
    std::size_t filled = 0;
    while (filled < bytes->size()) {
        std::size_t count = 0;
        if (!input.Read(bytes->data() + filled, bytes->size() - filled, &count) || count == 0)
            return false;
        filled += count;
    }
    return true;
}

// Holds the packed block until the first Read, then the unpacked one.
class WholeBlockSource : public PayloadSource {
  public:
    WholeBlockSource(PackageCodec codec, ByteBuffer packed, std::uint32_t unpackedSize)
        : codec_(codec), packed_(std::move(packed)), unpackedSize_(unpackedSize) {}

    bool Read(std::size_t max, ByteView* piece) override {
        if (!Unpack())
            return false;
        *piece = unpacked_.view().subspan(offset_, std::min(max, unpacked_.size() - offset_));
        offset_ += piece->size();
        return true;
    }

    bool Rewind() override {
        offset_ = 0;
        return !failed_;  // a block not unpacked yet is unpacked on the next Read
    }

  private:
    // Unpacks once; the packed bytes are let go as soon as they are used, so
    // only one of the two is held while the entries are applied.
    bool Unpack() {
        if (!unpackedYet_) {
            failed_ = !DecompressPayload(codec_, packed_.view(), unpackedSize_, &unpacked_);
            packed_.Release();
            unpackedYet_ = true;
        }
        return !failed_;
    }

    PackageCodec codec_;
    ByteBuffer packed_;
    std::uint32_t unpackedSize_;
    ByteBuffer unpacked_;
    std::size_t offset_ = 0;
    bool unpackedYet_ = false;
    bool failed_ = false;
};

// The windows a package is unpacked through. A packed window of 256 KiB
// feeds about one bzip2 block, or many zstd blocks, per read; an unpacked
// window of 1 MiB takes most of a bzip2 block per refill, and the writes it
// turns into are large enough that their cost is lost next to the
// decompression.
constexpr std::size_t kPackedWindowBytes = 256 * 1024;
constexpr std::size_t kUnpackedWindowBytes = 1024 * 1024;

}  // namespace

WindowedSource::WindowedSource(std::unique_ptr<PackedInput> input) : input_(std::move(input)) {}

bool WindowedSource::Start() {
    if (!packed_.data() && !packed_.Allocate(kPackedWindowBytes))
        return false;
    if (!unpacked_.data() && !unpacked_.Allocate(kUnpackedWindowBytes))
        return false;
    return StartDecompressor();
}

bool WindowedSource::Read(std::size_t max, ByteView* piece) {
    if (failed_)
        return false;
    if (begin_ == end_) {
        begin_ = end_ = 0;
        if (!Unpack(unpacked_.data(), unpacked_.size(), &end_))
            return Fail();
    }
    const std::size_t count = std::min(max, end_ - begin_);
    *piece = unpacked_.view().subspan(begin_, count);
    begin_ += count;
    return true;
}

bool WindowedSource::Rewind() {
    failed_ = false;
    begin_ = end_ = 0;
    if (!input_->Rewind() || !StartDecompressor())
        return Fail();
    return true;
}

bool WindowedSource::ReadPacked(ByteView* bytes) {
    std::size_t got = 0;
    if (!input_->Read(packed_.data(), packed_.size(), &got))
        return false;
    *bytes = packed_.view().first(got);
    return true;
}

std::unique_ptr<PayloadSource> OpenWholeBlock(PackageCodec codec,
                                              std::unique_ptr<PackedInput> input,
                                              std::uint32_t unpackedSize) {
    ByteBuffer packed;
    if (!ReadWhole(*input, &packed))
        return nullptr;
    input.reset();  // the package file is closed before anything is applied
    return std::make_unique<WholeBlockSource>(codec, std::move(packed), unpackedSize);
}
