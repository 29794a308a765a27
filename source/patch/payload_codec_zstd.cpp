// zstd: packed at a strong level in one frame; unpacked in one call, or as a
// stream through a bounded window when a package is applied.
#include <zstd.h>

#include <cstdint>
#include <string>
#include <utility>

#include "patch/payload_codec.h"

namespace {

// Level 19 is the strongest level that needs no more memory to unpack than
// its window: packing is slow, but a package is packed once and fetched by
// every installation.
constexpr int kZstdLevel = 19;
// The writer's window: 8 MiB is what level 19 picks for itself on large
// inputs, named here so the output does not change when the library's
// tables do.
constexpr int kZstdWindowLog = 23;
// The reader refuses a frame that asks for a window beyond 32 MiB. A package
// names its own window, so without this cap a small damaged or hostile file
// could make the updater reserve gigabytes; 32 MiB leaves room above our own
// writer's 8 MiB for a publisher who packs with a larger window.
constexpr int kZstdMaxWindowLog = 25;

// A decompression context with the window cap set; null when the library
// cannot allocate one.
ZSTD_DCtx* NewDecompressor() {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    if (context != nullptr &&
        ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, kZstdMaxWindowLog))) {
        ZSTD_freeDCtx(context);
        return nullptr;
    }
    return context;
}

// Unpacks the one zstd frame the payload is, as it is read, through the
// windows of WindowedSource; the decompressor's own window (at most 32 MiB,
// see above) holds the history that matches refer to. Bytes after the frame
// are refused, in this stream and in the one-call unpacking alike: a package
// is a single frame and nothing else, so there is one way to read it.
class ZstdSource : public WindowedSource {
  public:
    explicit ZstdSource(std::unique_ptr<PackedInput> input) : WindowedSource(std::move(input)) {}
    ~ZstdSource() override { ZSTD_freeDCtx(context_); }
    ZstdSource(const ZstdSource&) = delete;
    ZstdSource& operator=(const ZstdSource&) = delete;

  private:
    bool StartDecompressor() override {
        ended_ = false;
        in_ = ZSTD_inBuffer{nullptr, 0, 0};
        if (context_ == nullptr)
            context_ = NewDecompressor();
        return context_ != nullptr &&
               !ZSTD_isError(ZSTD_DCtx_reset(context_, ZSTD_reset_session_only));
    }

    bool Unpack(std::uint8_t* out, std::size_t room, std::size_t* produced) override {
        ZSTD_outBuffer buffer{out, room, 0};
        while (buffer.pos == 0 && !ended_) {
            if (!Step(&buffer))
                return false;
        }
        *produced = buffer.pos;
        return ended_ ? NothingAfterFrame() : true;
    }

    // One call of the decompressor, with more packed bytes first when it has
    // used up those it had. False when the frame is damaged or asks for too
    // large a window, or when the package ends inside the frame: with no
    // input left, a call that neither takes nor gives anything finds nothing
    // more to do.
    bool Step(ZSTD_outBuffer* out) {
        if (in_.pos == in_.size) {
            ByteView packed;
            if (!ReadPacked(&packed))
                return false;
            in_ = ZSTD_inBuffer{packed.data(), packed.size(), 0};
        }
        const std::size_t inBefore = in_.pos;
        const std::size_t outBefore = out->pos;
        const std::size_t result = ZSTD_decompressStream(context_, out, &in_);
        if (ZSTD_isError(result))
            return false;
        ended_ = result == 0;
        return ended_ || in_.pos != inBefore || out->pos != outBefore;
    }

    // The frame ended: whatever input is left, in the window or in the file,
    // must be nothing.
    bool NothingAfterFrame() {
        if (in_.pos != in_.size)
            return false;
        std::size_t got = 0;
        std::uint8_t probe = 0;
        return input().Read(&probe, 1, &got) && got == 0;
    }

    ZSTD_DCtx* context_ = nullptr;
    ZSTD_inBuffer in_{nullptr, 0, 0};
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<PayloadSource> OpenZstd(std::unique_ptr<PackedInput> input,
                                        std::uint32_t /*unpackedSize*/) {
    auto source = std::make_unique<ZstdSource>(std::move(input));
    if (!source->Start())
        return nullptr;
    return source;
}

bool UnpackZstd(ByteView payload, ByteBuffer* unpacked, std::size_t* produced) {
    ZSTD_DCtx* context = NewDecompressor();
    if (context == nullptr)
        return false;
    ZSTD_inBuffer in{payload.data(), payload.size(), 0};
    ZSTD_outBuffer out{unpacked->data(), unpacked->size(), 0};
    std::size_t result = 1;
    // Each call either moves input or output; with the output full and the
    // frame unfinished the buffer was too small.
    while (result != 0 && !ZSTD_isError(result)) {
        const std::size_t inBefore = in.pos;
        const std::size_t outBefore = out.pos;
        result = ZSTD_decompressStream(context, &out, &in);
        if (result != 0 && in.pos == inBefore && out.pos == outBefore)
            break;
    }
    ZSTD_freeDCtx(context);
    *produced = out.pos;
    return result == 0 && in.pos == in.size;
}

bool PackZstd(const std::string& payload, std::string* out) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    if (context == nullptr)
        return false;
    // One thread (the default, set anyway) and a fixed window keep the bytes
    // the same on every machine; the checksum lets the reader tell a damaged
    // frame from a good one even where the damage still decodes.
    const bool configured =
        !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, kZstdLevel)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, kZstdWindowLog)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_nbWorkers, 0)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1));
    const std::size_t start = out->size();
    bool packed = false;
    if (configured) {
        out->resize(start + ZSTD_compressBound(payload.size()));
        const std::size_t size = ZSTD_compress2(context, out->data() + start, out->size() - start,
                                                payload.data(), payload.size());
        packed = !ZSTD_isError(size);
        out->resize(packed ? start + size : start);
    }
    ZSTD_freeCCtx(context);
    return packed;
}

std::size_t QuickPackedSize(const std::string& payload) {
    std::string packed(ZSTD_compressBound(payload.size()), '\0');
    const std::size_t size =
        ZSTD_compress(packed.data(), packed.size(), payload.data(), payload.size(), 3);
    return ZSTD_isError(size) ? SIZE_MAX : size;
}
