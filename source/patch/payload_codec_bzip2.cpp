// bzip2: packed at the strongest block size; unpacked in one call, or as a
// stream through a bounded window when a package is applied.
#include <bzlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "patch/payload_codec.h"

namespace {

// bzip2's strongest block size and its default work factor (0 picks it).
constexpr int kBzip2BlockSize100k = 9;
constexpr int kBzip2WorkFactor = 0;

// Unpacks a bzip2 stream as it is read, through the windows of
// WindowedSource; the decompressor's own state (about 3.6 MB for the largest
// blocks) is all it adds. The first stream in the payload is the payload:
// bytes after its end marker are ignored, as the one-call decompressor
// ignores them too.
class Bzip2Source : public WindowedSource {
  public:
    explicit Bzip2Source(std::unique_ptr<PackedInput> input) : WindowedSource(std::move(input)) {}
    ~Bzip2Source() override { Stop(); }
    Bzip2Source(const Bzip2Source&) = delete;
    Bzip2Source& operator=(const Bzip2Source&) = delete;

  private:
    bool StartDecompressor() override {
        Stop();
        ended_ = inputEnded_ = false;
        std::memset(&stream_, 0, sizeof stream_);
        started_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
        return started_;
    }

    bool Unpack(std::uint8_t* out, std::size_t room, std::size_t* produced) override {
        stream_.next_out = reinterpret_cast<char*>(out);
        stream_.avail_out = static_cast<unsigned int>(room);
        // A call may only take input in; go on until something came out.
        while (stream_.avail_out == room && !ended_) {
            if (!Step())
                return false;
        }
        *produced = room - stream_.avail_out;
        return true;
    }

    // One call of the decompressor, with more packed bytes first when it has
    // used up those it had. False when the stream is damaged, or ends before
    // its end marker, or the package cannot be read.
    bool Step() {
        if (stream_.avail_in == 0 && !inputEnded_) {
            ByteView packed;
            if (!ReadPacked(&packed))
                return false;
            inputEnded_ = packed.empty();
            // The library's interface is not const-correct; it only reads.
            stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(packed.data()));
            stream_.avail_in = static_cast<unsigned int>(packed.size());
        }
        const unsigned int roomBefore = stream_.avail_out;
        const int result = BZ2_bzDecompress(&stream_);
        if (result == BZ_STREAM_END) {
            ended_ = true;
            return true;
        }
        // With no input left and nothing more coming out, the stream was cut.
        return result == BZ_OK &&
               !(inputEnded_ && stream_.avail_in == 0 && stream_.avail_out == roomBefore);
    }

    void Stop() {
        if (started_)
            BZ2_bzDecompressEnd(&stream_);
        started_ = false;
    }

    bz_stream stream_{};
    bool started_ = false;
    bool ended_ = false;
    bool inputEnded_ = false;
};

}  // namespace

std::unique_ptr<PayloadSource> OpenBzip2(std::unique_ptr<PackedInput> input,
                                         std::uint32_t /*unpackedSize*/) {
    auto source = std::make_unique<Bzip2Source>(std::move(input));
    if (!source->Start())
        return nullptr;
    return source;
}

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
