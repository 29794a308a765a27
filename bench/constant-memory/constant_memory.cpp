// Helper of bench/constant-memory/run: the two jobs there that need the
// library or must not hold a package in memory.
//
//   constant-memory make-package OUT SIZE_MIB VERSION [UPDATE_URL]
//       writes a bzip2 package of SIZE_MIB MiB of pseudo-random files (add
//       entries of at most 512 MiB each), then config/version.cfg saying
//       VERSION (and UPDATE_URL when given) as the last entry. The payload is
//       generated and compressed a buffer at a time, so a package of any size
//       costs a few MiB here. Prints one line "NAME SIZE" per big file, for
//       the caller to check an installation against. The package appears
//       under OUT only once it is whole.
//   constant-memory download URL FOLDER
//       fetches URL with DownloadPackage, as the worker does, into
//       FOLDER/download/ (the installation root being FOLDER). A partial
//       file already there is continued. Prints "code=C seconds=S bytes=N"
//       (N: the package's bytes on disk afterwards, whole or partial); exits
//       non-zero unless the code is 0.
#include <bzlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "engine/package_download.h"
#include "engine/patch_list.h"
#include "engine/update_worker.h"
#include "patch/package_format.h"
#include "patch/payload_codec.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
// The largest file of a package: a file's size is a signed 32-bit field, and
// a few files show the applier more than one entry without making any of
// them small.
constexpr std::uint64_t kLargestFile = 512 * kMiB;
constexpr int kLeastFiles = 4;
constexpr std::size_t kChunk = 1 << 20;

[[noreturn]] void Die(const std::string& message) {
    std::fprintf(stderr, "constant-memory: %s\n", message.c_str());
    std::exit(1);
}

struct BigFile {
    std::string name;
    std::uint64_t size = 0;
};

// `total` bytes split evenly into files of at most kLargestFile, the last one
// taking what the division leaves over.
std::vector<BigFile> PlanFiles(std::uint64_t total) {
    const std::uint64_t count =
        std::max<std::uint64_t>(kLeastFiles, (total + kLargestFile - 1) / kLargestFile);
    std::vector<BigFile> files;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t size = i + 1 < count ? total / count : total - total / count * i;
        files.push_back({"data/part-" + std::to_string(i + 1) + ".bin", size});
    }
    return files;
}

// An entry's bytes before its data: tag, final size, name length, name with
// its terminating zero byte, data length.
std::uint64_t EntryOverhead(const std::string& name) {
    return 16 + name.size() + 1;
}

// Packs what it is given with bzip2 (block size 9, as packages are made)
// straight into a file, a fixed buffer at a time.
class Bzip2FileWriter {
  public:
    explicit Bzip2FileWriter(std::FILE* file) : file_(file), out_(kChunk) {
        if (BZ2_bzCompressInit(&stream_, 9, 0, 0) != BZ_OK)
            Die("bzip2 refused to start");
    }
    ~Bzip2FileWriter() { BZ2_bzCompressEnd(&stream_); }
    Bzip2FileWriter(const Bzip2FileWriter&) = delete;
    Bzip2FileWriter& operator=(const Bzip2FileWriter&) = delete;

    void Write(const void* data, std::size_t size) {
        stream_.next_in = static_cast<char*>(const_cast<void*>(data));
        stream_.avail_in = static_cast<unsigned>(size);
        while (stream_.avail_in > 0)
            Step(BZ_RUN, BZ_RUN_OK);
        unpacked_ += size;
    }

    void WriteWord(std::uint32_t value) {
        const unsigned char bytes[4] = {
            static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
        Write(bytes, sizeof bytes);
    }

    void Finish() {
        while (Step(BZ_FINISH, BZ_FINISH_OK) != BZ_STREAM_END) {
        }
    }

    std::uint64_t unpacked() const { return unpacked_; }

  private:
    int Step(int action, int expected) {
        stream_.next_out = out_.data();
        stream_.avail_out = static_cast<unsigned>(out_.size());
        const int result = BZ2_bzCompress(&stream_, action);
        if (result != expected && result != BZ_STREAM_END)
            Die("bzip2 failed with " + std::to_string(result));
        const std::size_t produced = out_.size() - stream_.avail_out;
        if (std::fwrite(out_.data(), 1, produced, file_) != produced)
            Die("cannot write the package");
        return result;
    }

    std::FILE* file_;
    bz_stream stream_{};
    std::vector<char> out_;
    std::uint64_t unpacked_ = 0;
};

void WriteHeaderWord(std::FILE* file, std::uint32_t value) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    if (std::fwrite(bytes, 1, sizeof bytes, file) != sizeof bytes)
        Die("cannot write the package header");
}

void WriteEntryStart(Bzip2FileWriter& out, const std::string& name, std::uint64_t size) {
    out.WriteWord(kAddTag);
    out.WriteWord(static_cast<std::uint32_t>(size));  // unused by an add entry
    out.WriteWord(static_cast<std::uint32_t>(name.size() + 1));
    out.Write(name.c_str(), name.size() + 1);
    out.WriteWord(static_cast<std::uint32_t>(size));
}

// xorshift64*: fast enough that bzip2 alone sets the pace, and as
// incompressible as real packed or encrypted application files.
void WriteRandomData(Bzip2FileWriter& out, std::uint64_t size, std::uint64_t seed) {
    std::uint64_t state = 0x9E3779B97F4A7C15ull * (seed + 1);
    std::vector<std::uint64_t> words(kChunk / sizeof(std::uint64_t));
    for (std::uint64_t left = size; left > 0;) {
        for (std::uint64_t& word : words) {
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            word = state * 0x2545F4914F6CDD1Dull;
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
        out.Write(words.data(), take);
        left -= take;
    }
}

int MakePackage(int argc, char** argv) {
    if (argc != 5 && argc != 6)
        Die("usage: constant-memory make-package OUT SIZE_MIB VERSION [UPDATE_URL]");
    const fs::path out = argv[2];
    const long megabytes = std::strtol(argv[3], nullptr, 10);
    int numbers[3] = {};
    if (megabytes <= 0 || ScanVersionNumbers(argv[4], numbers) != 3)
        Die("bad size or version");
    std::string versionFile = std::string("[Main]\r\nVersion=") + argv[4] + "\r\n";
    if (argc == 6)
        versionFile += std::string("UpdateURL=") + argv[5] + "\r\n";
    const std::string versionName = "config/version.cfg";

    const std::vector<BigFile> files = PlanFiles(static_cast<std::uint64_t>(megabytes) * kMiB);
    std::uint64_t unpacked = EntryOverhead(versionName) + versionFile.size() + 4;
    for (const BigFile& file : files)
        unpacked += EntryOverhead(file.name) + file.size;
    if (unpacked > UINT32_MAX)
        Die("the payload would not fit the header's 32-bit size");

    const fs::path partial = out.string() + ".making";
    std::FILE* file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr)
        Die("cannot create " + partial.string());
    WriteHeaderWord(file, CodecOf(PackageCodec::kBzip2).magic);
    WriteHeaderWord(file, PackVersion(numbers[0], numbers[1], numbers[2]));
    WriteHeaderWord(file, static_cast<std::uint32_t>(unpacked));
    {
        Bzip2FileWriter payload(file);
        for (std::size_t i = 0; i < files.size(); ++i) {
            WriteEntryStart(payload, files[i].name, files[i].size);
            WriteRandomData(payload, files[i].size, i);
        }
        WriteEntryStart(payload, versionName, versionFile.size());
        payload.Write(versionFile.data(), versionFile.size());
        payload.WriteWord(kEndTag);
        payload.Finish();
        if (payload.unpacked() != unpacked)
            Die("wrote " + std::to_string(payload.unpacked()) + " payload bytes, announced " +
                std::to_string(unpacked));
    }
    if (std::fclose(file) != 0)
        Die("cannot write the package");
    std::error_code error;
    fs::rename(partial, out, error);
    if (error)
        Die("cannot move the package to " + out.string());
    for (const BigFile& big : files)
        std::printf("%s %llu\n", big.name.c_str(), static_cast<unsigned long long>(big.size));
    return 0;
}

int Download(int argc, char** argv) {
    if (argc != 4)
        Die("usage: constant-memory download URL FOLDER");
    const SelectedPatch patch{0, argv[2], {}};
    const std::string root = argv[3];
    const std::string name = PackageFileName(patch.url);
    if (!IsUsablePackageFileName(name))
        Die("the URL ends in no usable file name");
    std::error_code error;
    fs::create_directories(fs::path(root) / "download", error);
    const std::string path = root + "/download/" + name;
    const auto start = std::chrono::steady_clock::now();
    const ErrorCode code = DownloadPackage({patch, root, path});
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::int64_t bytes = platform::RegularFileSize(path);
    if (bytes < 0)
        bytes = platform::RegularFileSize(path + kPartialSuffix);
    std::printf("code=%d seconds=%.6f bytes=%lld\n", static_cast<int>(code), elapsed.count(),
                static_cast<long long>(bytes));
    return code == kOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string job = argc > 1 ? argv[1] : "";
    if (job == "make-package")
        return MakePackage(argc, argv);
    if (job == "download")
        return Download(argc, argv);
    std::fprintf(stderr,
                 "usage: constant-memory make-package OUT SIZE_MIB VERSION [UPDATE_URL]\n"
                 "       constant-memory download URL FOLDER\n");
    return 2;
}
