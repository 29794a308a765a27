#include "patch/package_source.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// The payload of an open package file, read from the byte after the header.
// The file is closed when the input goes.
class PackageFileInput : public PackedInput {
  public:
    PackageFileInput(std::FILE* file, std::uint64_t size) : file_(file), size_(size), left_(size) {}
    // The file was only read, so a failing close loses nothing.
    ~PackageFileInput() override { platform::CloseFile(file_); }
    PackageFileInput(const PackageFileInput&) = delete;
    PackageFileInput& operator=(const PackageFileInput&) = delete;

    std::uint64_t size() const override { return size_; }

    bool Read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) override {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, left_));
        *count = wanted == 0 ? 0 : platform::ReadFile(buffer, 1, wanted, file_);
        left_ -= *count;
        // Fewer bytes than the file had when it was opened: it cannot be read.
        return *count == wanted;
    }

    bool Rewind() override {
        left_ = size_;
        return platform::SeekFile(file_, kPackageHeaderSize, SEEK_SET) == 0;
    }

  private:
    std::FILE* file_;
    std::uint64_t size_;
    std::uint64_t left_;
};

// The payload of a package held in memory.
class MemoryInput : public PackedInput {
  public:
    explicit MemoryInput(ByteView bytes) : bytes_(bytes) {}

    std::uint64_t size() const override { return bytes_.size(); }

    bool Read(std::uint8_t* buffer, std::size_t capacity, std::size_t* count) override {
        *count = std::min(capacity, bytes_.size() - offset_);
        if (*count != 0)
            std::memcpy(buffer, bytes_.data() + offset_, *count);
        offset_ += *count;
        return true;
    }

    bool Rewind() override {
        offset_ = 0;
        return true;
    }

  private:
    ByteView bytes_;
    std::size_t offset_ = 0;
};

// Judges the header bytes, which are all there; the payload is opened by the
// caller when this leaves kOpened.
void ReadHeader(const std::uint8_t (&bytes)[kPackageHeaderSize],
                std::optional<PackedVersion> version, OpenedPackage* package) {
    package->magic = static_cast<std::uint32_t>(GetLe(bytes, 4));
    if (!ReadPackageHeader(bytes, &package->header))
        package->opening = PackageOpening::kUnknownMagic;
    else if (version && package->header.version != *version)
        package->opening = PackageOpening::kOtherVersion;
    else
        package->opening = PackageOpening::kOpened;
}

void OpenPayload(std::unique_ptr<PackedInput> input, OpenedPackage* package) {
    package->payload =
        CodecOf(package->header.codec).open(std::move(input), package->header.unpackedSize);
    if (!package->payload)
        package->opening = PackageOpening::kPayloadFailed;
}

// The file's length, leaving it at its first byte; negative when unknown.
std::int64_t FileLength(std::FILE* file) {
    if (platform::SeekFile(file, 0, SEEK_END) != 0)
        return -1;
    const std::int64_t length = platform::TellFile(file);
    return platform::SeekFile(file, 0, SEEK_SET) == 0 ? length : -1;
}

}  // namespace

OpenedPackage OpenPackageFile(const std::string& path, std::optional<PackedVersion> version) {
    OpenedPackage package;
    std::FILE* file = platform::OpenFile(path, "rb");
    if (file == nullptr)
        return package;
    const std::int64_t length = FileLength(file);
    std::uint8_t header[kPackageHeaderSize];
    if (length >= 0) {
        package.size = static_cast<std::uint64_t>(length);
        if (package.size < kPackageHeaderSize)
            package.opening = PackageOpening::kShortHeader;
        else if (platform::ReadFile(header, 1, sizeof header, file) == sizeof header)
            ReadHeader(header, version, &package);
    }
    if (package.opening != PackageOpening::kOpened) {
        platform::CloseFile(file);
        return package;
    }
    OpenPayload(std::make_unique<PackageFileInput>(file, package.size - kPackageHeaderSize),
                &package);
    return package;
}

OpenedPackage OpenPackageBytes(ByteView bytes) {
    OpenedPackage package;
    package.size = bytes.size();
    if (bytes.size() < kPackageHeaderSize) {
        package.opening = PackageOpening::kShortHeader;
        return package;
    }
    std::uint8_t header[kPackageHeaderSize];
    std::copy_n(bytes.begin(), kPackageHeaderSize, header);
    ReadHeader(header, std::nullopt, &package);
    if (package.opening == PackageOpening::kOpened)
        OpenPayload(std::make_unique<MemoryInput>(bytes.subspan(kPackageHeaderSize)), &package);
    return package;
}
