// The whole package apply on arbitrary package bytes. Each input is written
// as "download/p" into a fresh installation root and applied with the
// version its header names. Whatever the bytes, nothing outside the root may
// change, no file may stay open, and memory must stay under a limit.
//
// The root sits a few folders deep inside a sandbox folder made for this
// process, with canary files on every level, so a name that climbed out of
// the root would show as a changed or new file beside a canary:
//
//   sandbox/canary  level1/canary  level1/level2/canary  level1/level2/root/
//
// The seeds in fuzz/corpus/package_apply were built with patchtool from small
// trees whose old side is the installation FillRoot makes, so their modify
// entries find their targets: one LZO1X and one bzip2 package of modify and
// add entries, one that delivers a post-update script, a zstd package
// whose delta entry turns dir/b.bin into a rebuilt version of itself, and a
// zstd package that checks and changes a.txt and removes dir/b.bin and dir.
//
// Each input that unpacks is also read by the whole-buffer reference reader
// of the tests (tests/patch/reference_walker.h) and by the updater's entry
// reader: the two must find the same entries and the same fault.
#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "fuzz_check.h"
#include "patch/package_format.h"
#include "patch/patch_package.h"
#include "patch/reference_walker.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

// A package may deliver "Special.bat", and arbitrary bytes must never run as
// a shell script here. This stand-in replaces the platform's script runner in
// this program (the linker takes it instead of the library's) and runs
// nothing; the apply code still closes and removes the script as usual.
namespace platform {
void RunScriptHidden(const std::string& /*scriptPath*/, const std::string& /*workingFolder*/,
                     int /*waitLimitSeconds*/) {}
}  // namespace platform

namespace {

// Peak resident memory allowed for the whole process. The sanitizers and the
// fuzzer's corpus take part of it; a package that makes the apply hold
// hundreds of megabytes shows up here.
constexpr long kPeakRssLimitKb = 1024 * 1024;

using Snapshot = std::map<std::string, std::string>;

struct Sandbox {
    fs::path top;
    fs::path root;
    Snapshot outside;  // everything but the root, as it must stay
};

std::string ReadAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

Snapshot SnapshotOutsideRoot(const Sandbox& sandbox) {
    Snapshot snapshot;
    for (auto it = fs::recursive_directory_iterator(sandbox.top);
         it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == sandbox.root) {
            it.disable_recursion_pending();
            continue;
        }
        const std::string name = fs::relative(it->path(), sandbox.top).string();
        snapshot[name] = it->is_regular_file() ? ReadAll(it->path()) : "<folder>";
    }
    return snapshot;
}

// The installation a package is applied to: a few files that modify entries
// of the seed packages refer to, and the version file.
void FillRoot(const fs::path& root) {
    std::string binary(2000, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i * 7);
    WriteAll(root / "a.txt", std::string(300, 'a') + "\n");
    WriteAll(root / "dir/b.bin", binary);
    WriteAll(root / "config/version.cfg", "[Main]\r\nVersion=1.0.0\r\n");
    fs::create_directories(root / "download");
}

void EmptyRoot(const fs::path& root) {
    for (const auto& item : fs::directory_iterator(root))
        fs::remove_all(item.path());
}

Sandbox& TheSandbox() {
    static Sandbox sandbox = [] {
        Sandbox made;
        std::string pattern = (fs::temp_directory_path() / "updater-fuzz-XXXXXX").string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        made.top = pattern;
        made.root = made.top / "level1/level2/root";
        for (const fs::path& level : {made.top, made.top / "level1", made.top / "level1/level2"})
            WriteAll(level / "canary", "must not change: " + level.string());
        fs::create_directories(made.root);
        made.outside = SnapshotOutsideRoot(made);
        return made;
    }();
    return sandbox;
}

void RemoveSandbox() {
    std::error_code ignored;
    fs::remove_all(TheSandbox().top, ignored);
}

std::size_t OpenDescriptorCount() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

PackedVersion HeaderVersion(const std::uint8_t* data, std::size_t size) {
    if (size < 8)
        return 0;
    return static_cast<PackedVersion>(data[4]) | static_cast<PackedVersion>(data[5]) << 8 |
           static_cast<PackedVersion>(data[6]) << 16 | static_cast<PackedVersion>(data[7]) << 24;
}

// Larger payloads are left to the apply: unpacking them whole for the
// reference would only measure the allocator.
constexpr std::uint32_t kLargestComparedPayload = 16u << 20;

// Both readers on the unpacked payload, when the input unpacks.
void CompareReaders(const std::uint8_t* data, std::size_t size) {
    const ByteView package(data, size);
    PackageHeader header;
    ByteBuffer payload;
    if (!ReadPackageHeader(package, &header) || header.unpackedSize > kLargestComparedPayload ||
        !DecompressPayload(header.codec, package.subspan(kPackageHeaderSize), header.unpackedSize,
                           &payload)) {
        return;
    }
    const bool deltaEntries = CodecOf(header.codec).deltaEntries;
    FUZZ_CHECK(reference::WalkStreamed(payload.view(), deltaEntries, 3) ==
               reference::WalkWholeBuffer(payload.view(), deltaEntries));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    TheSandbox();
    std::atexit(RemoveSandbox);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Sandbox& sandbox = TheSandbox();
    EmptyRoot(sandbox.root);
    FillRoot(sandbox.root);
    WriteAll(sandbox.root / "download/p", std::string(reinterpret_cast<const char*>(data), size));
    const std::size_t descriptorsBefore = OpenDescriptorCount();
    const fs::path workingDirectory = fs::current_path();

    // The folders are named, so the fuzzer keeps its own working directory
    // (its corpus and findings are relative paths).
    const InstallationFolders folders{sandbox.root.string(), (sandbox.root / "download").string()};
    ApplyPatchPackage(folders, "p", HeaderVersion(data, size), {});
    FUZZ_CHECK(fs::current_path() == workingDirectory);
    FUZZ_CHECK(OpenDescriptorCount() == descriptorsBefore);
    FUZZ_CHECK(SnapshotOutsideRoot(sandbox) == sandbox.outside);
    FUZZ_CHECK(PeakRssKb() < kPeakRssLimitKb);
    CompareReaders(data, size);
    return 0;
}
