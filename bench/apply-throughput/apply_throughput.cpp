// How fast a package is applied, next to what its codec alone allows.
//
//   apply-throughput WORK_DIR [--megabytes N] [--small-files N] [--runs N]
//
// Builds, inside WORK_DIR, a package of about N MiB of realistic data (the
// shared libraries under /usr/lib, concatenated and cut into files of mixed
// sizes) once with LZO1X and once with bzip2, and prints for each the median
// time of ApplyPatchPackage into an empty installation, the median time of
// the same library call decompressing the same payload alone, their ratio and
// the peak resident memory of a process that applies the package once. Then
// it applies a package of many small files and compares the files per second
// with `tar -x` of the same files. WORK_DIR must exist and be empty; the
// caller removes it afterwards.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "patch/package_format.h"
#include "patch/package_writer.h"
#include "patch/patch_package.h"

namespace fs = std::filesystem;

namespace {

constexpr PackedVersion kVersion = PackVersion(2, 0, 0);
constexpr double kMiB = 1024.0 * 1024.0;

struct Options {
    fs::path work;
    std::size_t megabytes = 100;
    int smallFiles = 20000;
    int runs = 5;
};

[[noreturn]] void Die(const std::string& message) {
    std::fprintf(stderr, "apply-throughput: %s\n", message.c_str());
    std::exit(1);
}

double Seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The shared libraries under /usr/lib in path order, concatenated up to `bytes`.
std::string CollectLibraryBytes(std::size_t bytes) {
    std::vector<fs::path> libraries;
    const auto options = fs::directory_options::skip_permission_denied;
    for (const auto& item : fs::recursive_directory_iterator("/usr/lib", options)) {
        if (!item.is_symlink() && item.is_regular_file() &&
            item.path().filename().string().find(".so") != std::string::npos) {
            libraries.push_back(item.path());
        }
    }
    std::sort(libraries.begin(), libraries.end());
    std::string data;
    for (const fs::path& library : libraries) {
        if (data.size() >= bytes)
            break;
        data += ReadWhole(library);
    }
    if (data.size() < bytes)
        Die("not enough shared libraries under /usr/lib");
    data.resize(bytes);
    return data;
}

// Cuts `data` into add entries of sizes spread evenly on a log scale.
std::vector<EntrySource> CutIntoFiles(const std::string& data, double smallest, double largest,
                                      int folders, std::mt19937& random) {
    std::uniform_real_distribution<double> logSize(std::log(smallest), std::log(largest));
    std::vector<EntrySource> entries;
    for (std::size_t offset = 0; offset < data.size();) {
        const auto size =
            std::min(static_cast<std::size_t>(std::exp(logSize(random))), data.size() - offset);
        const std::size_t index = entries.size();
        entries.push_back(EntrySource::Add(
            "d" + std::to_string(index % folders) + "/f" + std::to_string(index) + ".bin",
            data.substr(offset, size)));
        offset += size;
    }
    return entries;
}

std::string MakePackage(const fs::path& file, PackageCodec codec,
                        const std::vector<EntrySource>& entries) {
    std::string package;
    if (!BuildPackage(codec, kVersion, entries, &package) || !SavePackage(file, package)) {
        Die("cannot build " + file.string());
    }
    return package;
}

// Applies `package` (a file in `downloadDir`) to `root`, which is made empty
// first; returns the seconds ApplyPatchPackage took.
double ApplyInto(const fs::path& root, const fs::path& downloadDir, const std::string& package) {
    fs::remove_all(root);
    fs::create_directories(root);
    const InstallationFolders folders{root.string(), downloadDir.string()};
    bool applied = false;
    const double seconds =
        Seconds([&] { applied = ApplyPatchPackage(folders, package, kVersion, nullptr); });
    if (!applied)
        Die("applying " + package + " failed");
    return seconds;
}

// One decompression of the package's payload by the codec's own unpack
// function alone (the library call), into a fresh output buffer as a
// one-shot decompression needs.
double DecompressAlone(const std::string& package) {
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(package.data()), package.size());
    PackageHeader header;
    ReadPackageHeader(bytes, &header);
    const PayloadCodec& codec = CodecOf(header.codec);
    ByteBuffer out;
    bool ok = false;
    const double seconds = Seconds([&] {
        std::size_t produced = 0;
        ok = out.Allocate(header.unpackedSize + codec.unpackSlack) &&
             codec.unpack(bytes.subspan(kPackageHeaderSize), &out, &produced);
    });
    if (!ok)
        Die("the codec alone failed");
    return seconds;
}

// Peak resident memory, in bytes, of a fresh process of this program that
// applies `package` once (see ApplyOnceAndReportPeak). The child reports its
// own high-water mark: the one the kernel hands a parent through wait4 also
// counts the parent's memory the child shared until it started the program.
double PeakMemoryOfOneApply(const fs::path& root, const fs::path& downloadDir,
                            const std::string& package) {
    const std::string command = "'" + fs::read_symlink("/proc/self/exe").string() +
                                "' --apply-once '" + root.string() + "' '" + downloadDir.string() +
                                "' '" + package + "'";
    std::FILE* child = popen(command.c_str(), "r");
    if (child == nullptr)
        Die("cannot start the measured apply");
    double kibibytes = 0;
    const bool read = std::fscanf(child, "%lf", &kibibytes) == 1;
    if (pclose(child) != 0 || !read)
        Die("the measured apply failed");
    return kibibytes * 1024.0;
}

// Applies once, then prints the process's peak resident memory in KiB.
int ApplyOnceAndReportPeak(char** argv) {
    ApplyInto(argv[2], argv[3], argv[4]);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            std::printf("%s\n", line.substr(6).c_str());
            return 0;
        }
    }
    return 1;
}

void MeasureLargePackage(const Options& options, const std::vector<EntrySource>& entries,
                         PackageCodec codec, const char* codecName) {
    const fs::path download = options.work / "download";
    const std::string name = std::string("large-") + codecName + ".pak";
    const std::string package = MakePackage(download / name, codec, entries);
    PackageHeader header;
    ReadPackageHeader({reinterpret_cast<const std::uint8_t*>(package.data()), package.size()},
                      &header);
    // bzip2 is slow enough that three runs give a steady median.
    const int runs = codec == PackageCodec::kBzip2 ? std::min(options.runs, 3) : options.runs;
    std::vector<double> apply;
    std::vector<double> alone;
    for (int run = 0; run < runs; ++run) {
        apply.push_back(ApplyInto(options.work / "root", download, name));
        alone.push_back(DecompressAlone(package));
    }
    const double peak = PeakMemoryOfOneApply(options.work / "root", download, name);
    const double limit = static_cast<double>(package.size() + header.unpackedSize) + 32 * kMiB;
    const double ratio = Median(apply) / Median(alone);
    std::printf("%-6s %8.1f MiB %9.3f s %9.3f s %6.2f %-4s %8.1f MiB %8.1f MiB %s\n", codecName,
                static_cast<double>(package.size()) / kMiB, Median(apply), Median(alone), ratio,
                ratio <= 1.15 ? "ok" : "over", peak / kMiB, limit / kMiB,
                peak <= limit ? "ok" : "over");
    fs::remove_all(options.work / "root");
}

void MeasureSmallFiles(const Options& options, const std::string& data, std::mt19937& random) {
    std::vector<EntrySource> entries;
    std::uniform_int_distribution<std::size_t> size(100, 4000);
    std::uniform_int_distribution<std::size_t> offset(0, data.size() - 4000);
    for (int i = 0; i < options.smallFiles; ++i) {
        entries.push_back(
            EntrySource::Add("s" + std::to_string(i % 100) + "/f" + std::to_string(i) + ".dat",
                             data.substr(offset(random), size(random))));
    }
    const fs::path download = options.work / "download";
    MakePackage(download / "small.pak", PackageCodec::kLzo1x, entries);
    std::vector<double> apply;
    for (int run = 0; run < options.runs; ++run) {
        apply.push_back(ApplyInto(options.work / "root", download, "small.pak"));
    }
    // The same files, as tar sees them: archived from the applied tree.
    const std::string archive = (options.work / "small.tar").string();
    const std::string fresh = (options.work / "tar-root").string();
    if (std::system(("tar -cf '" + archive + "' -C '" + (options.work / "root").string() + "' .")
                        .c_str()) != 0) {
        Die("tar -c failed");
    }
    std::vector<double> tar;
    for (int run = 0; run < options.runs; ++run) {
        fs::remove_all(fresh);
        fs::create_directories(fresh);
        int result = 0;
        tar.push_back(Seconds([&] {
            result = std::system(("tar -xf '" + archive + "' -C '" + fresh + "'").c_str());
        }));
        if (result != 0)
            Die("tar -x failed");
    }
    const double files = options.smallFiles;
    const double ours = files / Median(apply);
    const double theirs = files / Median(tar);
    std::printf(
        "small files: %d add entries (LZO1X); apply %.3f s = %.0f files/s; tar -x %.3f s "
        "= %.0f files/s; ratio %.2f (goal >= 0.80: %s)\n",
        options.smallFiles, Median(apply), ours, Median(tar), theirs, ours / theirs,
        ours / theirs >= 0.8 ? "ok" : "under");
    fs::remove_all(options.work / "root");
    fs::remove_all(fresh);
}

Options ParseOptions(int argc, char** argv) {
    if (argc < 2)
        Die("usage: apply-throughput WORK_DIR [--megabytes N] [--small-files N] [--runs N]");
    Options options;
    options.work = fs::absolute(argv[1]);
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (value <= 0)
            Die("bad value for " + flag);
        if (flag == "--megabytes") {
            options.megabytes = static_cast<std::size_t>(value);
        } else if (flag == "--small-files") {
            options.smallFiles = static_cast<int>(value);
        } else if (flag == "--runs") {
            options.runs = static_cast<int>(value);
        } else {
            Die("unknown option " + flag);
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--apply-once")
        return ApplyOnceAndReportPeak(argv);
    const Options options = ParseOptions(argc, argv);
    fs::create_directories(options.work / "download");

    const std::string data = CollectLibraryBytes(options.megabytes << 20);
    std::mt19937 random(2024);
    const std::vector<EntrySource> entries = CutIntoFiles(data, 256, 4 << 20, 20, random);
    std::printf(
        "apply benchmark: %.1f MiB of /usr/lib shared libraries in %zu files "
        "(256 B to 4 MiB); medians of %d runs (bzip2: at most 3)\n",
        static_cast<double>(data.size()) / kMiB, entries.size(), options.runs);
    std::printf("%-6s %12s %11s %11s %6s %-4s %12s %12s\n", "codec", "package", "apply",
                "codec alone", "ratio", "goal", "peak RSS", "goal RSS");
    MeasureLargePackage(options, entries, PackageCodec::kLzo1x, "LZO1X");
    MeasureLargePackage(options, entries, PackageCodec::kBzip2, "bzip2");
    MeasureSmallFiles(options, data, random);
    return 0;
}
