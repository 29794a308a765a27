#include "published_update.h"

#include <cstdint>
#include <random>
#include <vector>

#include "support/run_program.h"

namespace fs = std::filesystem;
using testing_support::ByteRuns;
using testing_support::RandomBytes;
using testing_support::ReadFileBytes;
using testing_support::VersionFile;
using testing_support::WriteFileBytes;

namespace reliability {
namespace {

std::string TextLines(int count, const std::string& word) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += word + " line " + std::to_string(i) + "\r\n";
    return text;
}

// Changes a few bytes every `step` bytes, as a rebuilt program does.
std::string Scattered(std::string bytes, std::size_t step, std::uint32_t seed) {
    std::mt19937 random(seed);
    for (std::size_t at = step / 2; at < bytes.size(); at += step) {
        for (std::size_t i = 0; i < 4 && at + i < bytes.size(); ++i)
            bytes[at + i] = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

void WriteTree(const fs::path& root, const Tree& tree) {
    for (const auto& [name, bytes] : tree) {
        if (name.back() == '/')
            fs::create_directories(root / name);
        else
            WriteFileBytes(root / name, bytes);
    }
}

// Adds the folder entries ReadTree reports for the files of `tree`.
Tree WithFolders(Tree tree) {
    Tree folders;
    for (const auto& [name, bytes] : tree) {
        for (std::size_t slash = name.find('/'); slash != std::string::npos;
             slash = name.find('/', slash + 1)) {
            folders[name.substr(0, slash + 1)] = "";
        }
    }
    tree.merge(folders);
    return tree;
}

fs::path MadeDir(const fs::path& dir) {
    fs::create_directories(dir);
    return dir;
}

int RunPatchtool(const std::vector<std::string>& arguments, const fs::path& log) {
    return testing_support::RunProgram(PATCHTOOL_PATH, arguments, log);
}

}  // namespace

PublishedUpdate::PublishedUpdate(std::size_t scale, const std::string& serveRate,
                                 std::size_t largeEntryBytes, const std::string& firstCodec)
    : scale_(scale),
      largeEntryBytes_(largeEntryBytes),
      firstCodec_(firstCodec),
      www_(MadeDir(dir_ / "www")),
      nginx_(www_, testing_support::NginxOptions{{}, serveRate}) {
    if (!nginx_.running()) {
        error_ = nginx_.error();
        return;
    }
    WriteTrees();
    BuildPackages();
}

void PublishedUpdate::WriteTrees() {
    const std::string listUrl = nginx_.Url("/patchlist.cfg");
    const std::size_t k = scale_;  // bytes per kilobyte of the full-size trees
    const std::string app = RandomBytes(300 * k, 1);
    old_ = {{"config/version.cfg", VersionFile("1.0.0", listUrl)},
            {"bin/app.dat", app},
            {"bin/lib.dat", RandomBytes(64 * k, 2)},
            {"data/readme.txt", TextLines(200, "old")},
            {"data/keep.txt", TextLines(50, "kept")}};

    // 1.0.1: a program patched in scattered bytes and grown, an edited text,
    // a file in a new folder, the version changed in place.
    middle_ = old_;
    middle_["config/version.cfg"] = VersionFile("1.0.1", listUrl);
    middle_["bin/app.dat"] = Scattered(app, 9 * k, 5) + RandomBytes(20 * k, 6);
    middle_["data/readme.txt"] = TextLines(120, "old") + TextLines(100, "new");
    middle_["data/new/a.txt"] = TextLines(10, "fresh");

    // 1.1.0: the program shrunk and patched again, a library rewritten, a
    // large new file, an emptied one, and a version file rewritten whole (so
    // its entry adds the file instead of patching it).
    new_ = middle_;
    new_["config/version.cfg"] =
        VersionFile("1.1.0", listUrl, "; rewritten by the 1.1.0 release\r\n");
    new_["bin/app.dat"] = Scattered(middle_["bin/app.dat"].substr(0, 250 * k), 20 * k, 7);
    new_["bin/lib.dat"] = RandomBytes(64 * k, 3);
    new_["data/big.bin"] = RandomBytes(1024 * k, 4);
    new_["data/new/a.txt"] = "";
    if (firstCodec_ == "zstd") {
        // A program whose code moved: scattered changes behind an insertion,
        // which a delta carries far more cheaply than diff records.
        const std::string tool = RandomBytes(400 * k, 13);
        old_["bin/tool.dat"] = tool;
        middle_["bin/tool.dat"] = new_["bin/tool.dat"] = Scattered(
            tool.substr(0, 100 * k) + RandomBytes(3 * k, 14) + tool.substr(100 * k), 4 * k, 15);
    }
    if (largeEntryBytes_ != 0) {
        // Two thirds rewritten: a modify entry; a new file: an add entry.
        const std::size_t size = largeEntryBytes_;
        old_["data/large.dat"] = middle_["data/large.dat"] = ByteRuns(size, 10);
        new_["data/large.dat"] =
            ByteRuns(size / 3 * 2, 11) + old_["data/large.dat"].substr(size / 3 * 2);
        new_["data/stream.bin"] = ByteRuns(size, 12);
    }

    old_ = WithFolders(old_);
    middle_ = WithFolders(middle_);
    new_ = WithFolders(new_);
    WriteTree(dir_ / "1.0.0", old_);
    WriteTree(dir_ / "1.0.1", middle_);
    WriteTree(dir_ / "1.1.0", new_);
}

void PublishedUpdate::BuildPackages() {
    const fs::path log = dir_ / "patchtool.log";
    struct Step {
        const char* from;
        const char* to;
        std::string codec;
        const char* file;
    };
    std::string list = "; the updates of the reliability tests\n";
    for (const Step& step : {Step{"1.0.0", "1.0.1", firstCodec_, "p101.pak"},
                             Step{"1.0.1", "1.1.0", "bzip2", "p110.pak"}}) {
        const fs::path from = dir_ / step.from;
        const fs::path to = dir_ / step.to;
        const fs::path package = www_ / step.file;
        if (RunPatchtool({"build", "--from", from.string(), "--to", to.string(), "--version",
                          step.to, "--codec", step.codec, "-o", package.string()},
                         log) != 0) {
            error_ = "patchtool build failed: " + ReadFileBytes(log);
            return;
        }
        list += std::string(step.to) + " " + nginx_.Url("/") + step.file + " - - -\n";
    }
    WriteFileBytes(www_ / "patchlist.cfg", list);
}

SandboxedRoot::SandboxedRoot(const Tree& installation) : root_(outer_ / "install") {
    fs::create_directories(root_);
    WriteTree(root_, installation);
    WriteFileBytes(outer_ / "canary.txt", "beside the installation");
    WriteFileBytes(outer_ / "shared/canary.bin", RandomBytes(5000, 9));
    outsideBefore_ = Outside();
}

Tree SandboxedRoot::Outside() const {
    return ReadTree(outer_.path(), root_.filename().string());
}

bool SandboxedRoot::OutsideUnchanged() const {
    return Outside() == outsideBefore_;
}

}  // namespace reliability
