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

}  // namespace

std::unique_ptr<PayloadSource> OpenWholeBlock(PackageCodec codec,
                                              std::unique_ptr<PackedInput> input,
                                              std::uint32_t unpackedSize) {
    ByteBuffer packed;
    if (!ReadWhole(*input, &packed))
        return nullptr;
    input.reset();  // the package file is closed before anything is applied
    return std::make_unique<WholeBlockSource>(codec, std::move(packed), unpackedSize);
}
