// How fast a package is applied, next to what its codec alone allows, and
// what making the applied files survive a power cut costs.
//
//   apply-throughput WORK_DIR [--megabytes N] [--small-files N] [--runs N]
//
// Builds, inside WORK_DIR, a package of about N MiB of realistic data (the
// shared libraries under /usr/lib, concatenated and cut into files of mixed
// sizes) once with LZO1X and once with bzip2, and prints for each the median
// time of ApplyPatchPackage into an empty installation, the median time of
// the same library call decompressing the same payload alone, their ratio and
// the peak resident memory of a process that applies the package once; then
// the same apply with every sync skipped (platform::SkipSyncs), which is what
// applying cost before it was made durable, and the ratio of the two. Then it
// applies a package of many small files and compares it, without syncs, with
// `tar -x` of the same files, and, durable, with `tar -x` followed by `sync`,
// the plainest way a shell gets the same files onto the disk.
//
// Every timed run starts alike: the tree the run before left is taken away
// and everything still waiting to be written is flushed first (untimed), so
// one run's write-back never lands in the next one's time. WORK_DIR must
// exist and be empty; the caller removes it afterwards.
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
#include "platform/test_hooks.h"

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

// Runs `command` through the shell; a failure ends the benchmark.
void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0)
        Die("`" + command + "` failed");
}

// Where the trees of earlier runs go; removed once every run is over.
fs::path SetAsideFolder(const fs::path& tree) {
    return tree.parent_path() / "set-aside";
}

// Takes the tree a run before left at `tree` out of the way with one move.
// Removing it here would slow the next run down by a varying amount: ext4
// without a journal passes over every inode freed in the last minute when it
// picks one for a new file, at the cost of a buffer lookup each, so 20,000
// small files made right after 20,000 were removed took up to ten times as
// long as the same files made on a quiet volume.
void SetAside(const fs::path& tree) {
    if (!fs::exists(tree))
        return;
    const fs::path folder = SetAsideFolder(tree);
    fs::create_directories(folder);
    for (int number = 0;; ++number) {
        const fs::path aside = folder / std::to_string(number);
        if (!fs::exists(aside)) {
            fs::rename(tree, aside);
            return;
        }
    }
}

// Leaves `tree` empty, with the tree a run before left there set aside, and
// flushes everything still waiting to be written, so that the next timed run
// neither pays for an earlier run's write-back nor finds the disk idle only
// by chance.
void StartFresh(const fs::path& tree) {
    SetAside(tree);
    fs::create_directories(tree);
    Run("sync");
}

// Whether a timed apply syncs what it writes, as it always does outside this
// benchmark, or skips every sync, as applying did before it was made durable.
enum class Durability { kSynced, kSkipped };

// Applies `package` (a file in `downloadDir`) to `root`, which is made empty
// first (StartFresh); returns the seconds ApplyPatchPackage took.
double ApplyInto(const fs::path& root, const fs::path& downloadDir, const std::string& package,
                 Durability durability = Durability::kSynced) {
    StartFresh(root);
    const InstallationFolders folders{root.string(), downloadDir.string()};
    bool applied = false;
    platform::SkipSyncs(durability == Durability::kSkipped);
    const double seconds =
        Seconds([&] { applied = ApplyPatchPackage(folders, package, kVersion, {}); });
    platform::SkipSyncs(false);
    if (!applied)
        Die("applying " + package + " failed");
    return seconds;
}

// Extracts `archive` into `root`, made empty first (StartFresh), with `then`
// (a shell command, or empty for none) run after it in the timed command;
// returns its seconds.
double ExtractInto(const fs::path& root, const fs::path& archive, const std::string& then) {
    StartFresh(root);
    const std::string command = "tar -xf '" + archive.string() + "' -C '" + root.string() + "'" +
                                (then.empty() ? "" : " && " + then);
    return Seconds([&] { Run(command); });
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

// What one codec's package measured: medians in seconds, memory in bytes.
struct LargeResult {
    const char* codec = "";
    double packageBytes = 0;
    double synced = 0;
    double skipped = 0;
    double alone = 0;
    double peak = 0;
    double peakLimit = 0;
};

LargeResult MeasureLargePackage(const Options& options, const std::vector<EntrySource>& entries,
                                PackageCodec codec, const char* codecName) {
    const fs::path download = options.work / "download";
    const fs::path root = options.work / "root";
    const std::string name = std::string("large-") + codecName + ".pak";
    const std::string package = MakePackage(download / name, codec, entries);
    PackageHeader header;
    ReadPackageHeader({reinterpret_cast<const std::uint8_t*>(package.data()), package.size()},
                      &header);
    // bzip2 is slow enough that three runs give a steady median.
    const int runs = codec == PackageCodec::kBzip2 ? std::min(options.runs, 3) : options.runs;
    std::vector<double> synced;
    std::vector<double> skipped;
    std::vector<double> alone;
    // Taken in turns, so that a slower stretch of the machine weighs on each.
    for (int run = 0; run < runs; ++run) {
        synced.push_back(ApplyInto(root, download, name, Durability::kSynced));
        skipped.push_back(ApplyInto(root, download, name, Durability::kSkipped));
        alone.push_back(DecompressAlone(package));
    }
    LargeResult result;
    result.codec = codecName;
    result.packageBytes = static_cast<double>(package.size());
    result.synced = Median(synced);
    result.skipped = Median(skipped);
    result.alone = Median(alone);
    result.peak = PeakMemoryOfOneApply(root, download, name);
    result.peakLimit = static_cast<double>(package.size() + header.unpackedSize) + 32 * kMiB;
    SetAside(root);
    return result;
}

// The apply as it ships (durable) next to the codec alone, and its memory.
void PrintCodecTable(const std::vector<LargeResult>& results) {
    std::printf("%-6s %12s %11s %11s %6s %-4s %12s %12s\n", "codec", "package", "apply",
                "codec alone", "ratio", "goal", "peak RSS", "goal RSS");
    for (const LargeResult& result : results) {
        const double ratio = result.synced / result.alone;
        std::printf("%-6s %8.1f MiB %9.3f s %9.3f s %6.2f %-4s %8.1f MiB %8.1f MiB %s\n",
                    result.codec, result.packageBytes / kMiB, result.synced, result.alone, ratio,
                    ratio <= 1.15 ? "ok" : "over", result.peak / kMiB, result.peakLimit / kMiB,
                    result.peak <= result.peakLimit ? "ok" : "over");
    }
}

// What durability costs: the same apply with its syncs and without them.
void PrintDurabilityTable(const std::vector<LargeResult>& results) {
    std::printf("%-6s %11s %11s %6s %-4s (durable / no syncs, goal <= 1.20)\n", "codec", "durable",
                "no syncs", "ratio", "goal");
    for (const LargeResult& result : results) {
        const double ratio = result.synced / result.skipped;
        std::printf("%-6s %9.3f s %9.3f s %6.2f %s\n", result.codec, result.synced, result.skipped,
                    ratio, ratio <= 1.2 ? "ok" : "over");
    }
}

std::vector<EntrySource> SmallFileEntries(const Options& options, const std::string& data,
                                          std::mt19937& random) {
    std::vector<EntrySource> entries;
    std::uniform_int_distribution<std::size_t> size(100, 4000);
    std::uniform_int_distribution<std::size_t> offset(0, data.size() - 4000);
    for (int i = 0; i < options.smallFiles; ++i) {
        entries.push_back(
            EntrySource::Add("s" + std::to_string(i % 100) + "/f" + std::to_string(i) + ".dat",
                             data.substr(offset(random), size(random))));
    }
    return entries;
}

// The same files as tar sees them: archived from a tree the package made.
fs::path ArchiveOfPackage(const Options& options, const std::string& package) {
    const fs::path root = options.work / "root";
    ApplyInto(root, options.work / "download", package, Durability::kSkipped);
    const fs::path archive = options.work / "small.tar";
    Run("tar -cf '" + archive.string() + "' -C '" + root.string() + "' .");
    return archive;
}

// Medians, in seconds, of the small files applied and extracted four ways.
struct SmallResult {
    int runs = 0;
    int durableRuns = 0;  // of the durable apply, by far the slowest of the four
    double synced = 0;
    double skipped = 0;
    double tar = 0;
    double tarSync = 0;
};

SmallResult MeasureSmallFiles(const Options& options, const std::string& data,
                              std::mt19937& random) {
    const fs::path download = options.work / "download";
    const fs::path root = options.work / "root";
    MakePackage(download / "small.pak", PackageCodec::kLzo1x,
                SmallFileEntries(options, data, random));
    const fs::path archive = ArchiveOfPackage(options, "small.pak");
    SmallResult result;
    result.runs = options.runs;
    result.durableRuns = std::min(options.runs, 3);
    std::vector<double> synced;
    std::vector<double> skipped;
    std::vector<double> tar;
    std::vector<double> tarSync;
    // Taken in turns, so that a slower stretch of the machine weighs on each.
    for (int run = 0; run < result.runs; ++run) {
        if (run < result.durableRuns)
            synced.push_back(ApplyInto(root, download, "small.pak", Durability::kSynced));
        skipped.push_back(ApplyInto(root, download, "small.pak", Durability::kSkipped));
        tar.push_back(ExtractInto(root, archive, ""));
        tarSync.push_back(ExtractInto(root, archive, "sync"));
    }
    SetAside(root);
    result.synced = Median(synced);
    result.skipped = Median(skipped);
    result.tar = Median(tar);
    result.tarSync = Median(tarSync);
    return result;
}

void PrintSmallFiles(const Options& options, const SmallResult& result) {
    const double files = options.smallFiles;
    const double ours = files / result.skipped;
    const double theirs = files / result.tar;
    std::printf("small files: %d add entries (LZO1X); medians of %d runs (durable apply: %d)\n",
                options.smallFiles, result.runs, result.durableRuns);
    std::printf(
        "small files, no syncs: apply %.3f s = %.0f files/s; tar -x %.3f s = %.0f files/s; "
        "ratio %.2f (goal >= 0.80: %s)\n",
        result.skipped, ours, result.tar, theirs, ours / theirs,
        ours / theirs >= 0.8 ? "ok" : "under");
    const double ratio = result.synced / result.tarSync;
    std::printf(
        "small files, durable: apply %.3f s = %.0f files/s; tar -x && sync %.3f s = %.0f "
        "files/s; time ratio %.2f (goal <= 1.00: %s)\n",
        result.synced, files / result.synced, result.tarSync, files / result.tarSync, ratio,
        ratio <= 1.0 ? "ok" : "over");
    std::printf("small files, durability cost: apply durable %.3f s, no syncs %.3f s; ratio %.2f\n",
                result.synced, result.skipped, result.synced / result.skipped);
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
        "(256 B to 4 MiB); medians of %d runs (bzip2: at most 3); every timed run starts "
        "on an empty tree after `sync`\n",
        static_cast<double>(data.size()) / kMiB, entries.size(), options.runs);
    const std::vector<LargeResult> large = {
        MeasureLargePackage(options, entries, PackageCodec::kLzo1x, "LZO1X"),
        MeasureLargePackage(options, entries, PackageCodec::kBzip2, "bzip2")};
    PrintCodecTable(large);
    PrintDurabilityTable(large);
    PrintSmallFiles(options, MeasureSmallFiles(options, data, random));
    fs::remove_all(SetAsideFolder(options.work / "root"));
    return 0;
}
