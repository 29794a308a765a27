// Temporary folders that clean themselves up, and a scoped change of the
// working directory. The engine takes its installation as a folder of its
// settings, so its tests name the folder instead; the working directory is
// changed only by tests of what relative paths mean (the platform's calls,
// the translation beside the program, an installation named relative to it).
#pragma once

#include <filesystem>
#include <string>

namespace testing_support {

// The folder tests keep their folders in: UPDATER_TEST_TMP when the build
// names one (made if missing), else the system's temporary folder.
std::filesystem::path TempBase();

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& relative) const { return path_ / relative; }

  private:
    std::filesystem::path path_;
};

// Changes the working directory for its lifetime.
class ScopedWorkingDir {
  public:
    explicit ScopedWorkingDir(const std::filesystem::path& dir);
    ~ScopedWorkingDir();
    ScopedWorkingDir(const ScopedWorkingDir&) = delete;
    ScopedWorkingDir& operator=(const ScopedWorkingDir&) = delete;

  private:
    std::filesystem::path previous_;
};

// The path as UTF-8, the way the platform layer and OpenSSL take names;
// fs::path::string() gives Windows' ANSI code page there.
std::string Utf8Path(const std::filesystem::path& path);

// Whole-file helpers; they create missing parent folders when writing.
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);
std::string ReadFileBytes(const std::filesystem::path& file);

}  // namespace testing_support
