#include "support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace fs = std::filesystem;

namespace testing_support {

// Tests keep their folders below the build tree when the build says where
// (UPDATER_TEST_TMP), else below the system's temporary folder.
fs::path TempBase() {
    if (const char* base = std::getenv("UPDATER_TEST_TMP"); base != nullptr && *base != '\0') {
        fs::create_directories(base);
        return base;
    }
    return fs::temp_directory_path();
}

TempDir::TempDir() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    const fs::path base = TempBase();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / ("updater-test-" + std::to_string(random()));
        if (fs::create_directory(candidate)) {
            path_ = fs::canonical(candidate);
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may leave read-only files behind; make them removable first.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
}

ScopedWorkingDir::ScopedWorkingDir(const fs::path& dir) : previous_(fs::current_path()) {
    fs::current_path(dir);
}

ScopedWorkingDir::~ScopedWorkingDir() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
}

void WriteFileBytes(const fs::path& file, const std::string& bytes) {
    if (file.has_parent_path())
        fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

std::string Utf8Path(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string ReadFileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    // In blocks rather than a character at a time: tests read files of
    // megabytes many times over, and a sanitizer build pays for every call.
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

}  // namespace testing_support
