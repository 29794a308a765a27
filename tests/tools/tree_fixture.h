// Two generated installation trees, OLD and NEW, in a temporary folder, with
// every kind of change a release brings: files added (also in new nested
// folders, also empty ones), grown, shrunk, emptied, changed in scattered bytes, rewritten,
// left alone and left behind, in text and in binary.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "support/temp_dir.h"

namespace tools_test {

inline constexpr const char* kOldVersionFile =
    "[Main]\nVersion=1.0.0\nUpdateURL=http://127.0.0.1/list\n";
inline constexpr const char* kNewVersionFile =
    "[Main]\nVersion=1.0.1\nUpdateURL=http://127.0.0.1/list\n";

inline std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

// Every regular file below `root`, by its "/" name.
inline std::map<std::string, std::string> ReadTree(const std::filesystem::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) {
            tree[item.path().lexically_relative(root).generic_string()] =
                testing_support::ReadFileBytes(item.path());
        }
    }
    return tree;
}

inline void WriteTree(const std::filesystem::path& root,
                      const std::map<std::string, std::string>& files) {
    std::filesystem::create_directories(root);
    for (const auto& [name, bytes] : files)
        testing_support::WriteFileBytes(root / name, bytes);
}

class TreeFixture : public ::testing::Test {
  protected:
    TreeFixture() { MakeTrees(); }

    void MakeTrees() {
        const std::string program = RandomBytes(300000, 1);
        std::string patched = program;
        for (std::size_t at : {10u, 17u, 5000u, 123456u, 299999u})
            patched[at] ^= 0x5A;
        std::string text;
        for (int line = 0; line < 2000; ++line)
            text += "line " + std::to_string(line) + "\n";
        std::string editedText = text;
        editedText.replace(4000, 6, "LINE X");

        oldFiles_ = {{"config/version.cfg", kOldVersionFile},
                     {"bin/app.exe", program},
                     {"doc/readme.txt", text},
                     {"data/grows.dat", RandomBytes(5000, 2)},
                     {"data/shrinks.dat", RandomBytes(8000, 3)},
                     {"data/emptied.dat", RandomBytes(700, 4)},
                     {"data/rewritten.dat", RandomBytes(4000, 5)},
                     {"data/same.dat", RandomBytes(3000, 6)},
                     {"old-only.txt", "left behind\n"}};
        newFiles_ = oldFiles_;
        newFiles_.erase("old-only.txt");
        newFiles_["config/version.cfg"] = kNewVersionFile;
        newFiles_["bin/app.exe"] = patched;
        newFiles_["doc/readme.txt"] = editedText;
        newFiles_["data/grows.dat"] += RandomBytes(3000, 7) + std::string(2000, '\0');
        newFiles_["data/shrinks.dat"].resize(2500);
        newFiles_["data/emptied.dat"].clear();
        newFiles_["data/rewritten.dat"] = RandomBytes(4000, 8);
        newFiles_["plugins/extra/deep/new.bin"] = RandomBytes(1234, 9);
        newFiles_["logs/new-and-empty.log"] = "";
        newFiles_["zz-last-by-name.txt"] = "sorts after config/\n";
        WriteTree(oldRoot(), oldFiles_);
        WriteTree(newRoot(), newFiles_);
    }

    std::filesystem::path oldRoot() const { return dir_ / "old"; }
    std::filesystem::path newRoot() const { return dir_ / "new"; }

    testing_support::TempDir dir_;
    std::map<std::string, std::string> oldFiles_;
    std::map<std::string, std::string> newFiles_;
};

}  // namespace tools_test
