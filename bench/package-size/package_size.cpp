// Helper of bench/package-size/run.
//
//   package-size synth DIR MEGABYTES
//       writes DIR/old and DIR/new: a synthetic installation of about
//       MEGABYTES MiB and its next release (files patched in scattered bytes,
//       shifted by an insertion, grown, cut, added and dropped)
//   package-size entries OLD NEW lzo|bzip2
//       one line per file of NEW that is new or changed: the entry patchtool
//       chooses and its compressed size next to the whole file compressed
//       with the same codec; then the totals
//
// Everything is deterministic: the same arguments give the same trees.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "arguments.h"
#include "package_builder.h"
#include "tree_scan.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

void WriteFile(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Content that compresses about as well as programs and data files do: runs
// of words from a small vocabulary between runs of skewed binary bytes.
std::string MakeContent(std::size_t size, std::mt19937& random) {
    static const std::vector<std::string> words = [] {
        std::mt19937 vocabulary(7);
        std::vector<std::string> list;
        for (int i = 0; i < 400; ++i) {
            std::string word;
            for (std::size_t n = 2 + vocabulary() % 9; n > 0; --n) {
                word += static_cast<char>('a' + vocabulary() % 26);
            }
            list.push_back(word + ' ');
        }
        return list;
    }();
    std::string content;
    content.reserve(size + 64);
    while (content.size() < size) {
        const bool text = random() % 2 == 0;
        for (std::size_t run = 64 + random() % 512; run > 0 && content.size() < size; --run) {
            if (text) {
                content += words[random() % words.size()];
            } else {
                const auto value = static_cast<std::uint32_t>(random());
                content += static_cast<char>((value & 0xFF) * ((value >> 8) & 0x3) / 4);
            }
        }
    }
    content.resize(size);
    return content;
}

void PatchScattered(std::string& bytes, std::mt19937& random) {
    for (std::size_t spots = 1 + random() % 40; spots > 0 && !bytes.empty(); --spots) {
        const std::size_t at = random() % bytes.size();
        const std::size_t length = std::min<std::size_t>(1 + random() % 64, bytes.size() - at);
        for (std::size_t i = at; i < at + length; ++i)
            bytes[i] = static_cast<char>(random());
    }
}

std::string VersionFile(const char* version) {
    return std::string("[Main]\nVersion=") + version +
           "\nUpdateURL=http://127.0.0.1/patchlist.cfg\n";
}

int Synthesize(const fs::path& dir, std::size_t megabytes) {
    std::mt19937 random(20240601);
    std::size_t total = 0;
    for (int index = 0; total < megabytes * kMiB; ++index) {
        // File sizes spread from 4 KiB to 2 MiB, with more small files than large.
        const std::size_t size = std::size_t{4096} << (random() % 9);
        const std::string name = "lib/d" + std::to_string(index % 16) + "/file" +
                                 std::to_string(index) + (index % 3 == 0 ? ".txt" : ".bin");
        std::string content = MakeContent(size + random() % size, random);
        total += content.size();
        const auto fate = static_cast<unsigned>(random() % 100);
        if (fate >= 1)
            WriteFile(dir / "old" / name, content);  // 1 in 100 is new in NEW
        if (fate < 12) {
            PatchScattered(content, random);
        } else if (fate < 15) {
            content.insert(content.size() / 2, MakeContent(100 + random() % 1000, random));
        } else if (fate < 17) {
            content += MakeContent(1000 + random() % 50000, random);
        } else if (fate < 18) {
            content.resize(content.size() / 2);
        } else if (fate < 19) {
            continue;  // dropped in NEW
        }
        WriteFile(dir / "new" / name, content);
    }
    WriteFile(dir / "old/config/version.cfg", VersionFile("1.0.0"));
    WriteFile(dir / "new/config/version.cfg", VersionFile("1.0.1"));
    std::cout << "synthetic trees: " << total / kMiB << " MiB in " << dir.string() << "\n";
    return 0;
}

int CompareEntries(const fs::path& oldRoot, const fs::path& newRoot, PackageCodec codec) {
    TreeScan oldTree, newTree;
    std::string error;
    if (!ScanTree(oldRoot, &oldTree, &error) || !ScanTree(newRoot, &newTree, &error)) {
        std::cerr << error << "\n";
        return 1;
    }
    std::size_t files = 0, wholeTotal = 0, entryTotal = 0, larger = 0;
    for (const std::string& name : newTree.files) {
        std::string oldBytes, newBytes;
        const bool inOld = std::binary_search(oldTree.files.begin(), oldTree.files.end(), name);
        if (!ReadFileInto(newRoot / name, &newBytes, &error) ||
            (inOld && !ReadFileInto(oldRoot / name, &oldBytes, &error))) {
            std::cerr << error << "\n";
            return 1;
        }
        if (inOld && oldBytes == newBytes)
            continue;
        EntrySource whole = EntrySource::Add(name, newBytes);
        EntrySource chosen = inOld ? ChooseEntry(name, oldBytes, newBytes, codec) : whole;
        const std::size_t wholeSize = EncodedEntrySize(&whole, codec);
        const std::size_t entrySize = EncodedEntrySize(&chosen, codec);
        std::cout << "file " << name << " " << (inOld ? "changed" : "new") << " "
                  << (chosen.kind == EntryKind::kAdd ? "add" : "modify") << " whole=" << wholeSize
                  << " entry=" << entrySize << "\n";
        ++files;
        wholeTotal += wholeSize;
        entryTotal += entrySize;
        if (entrySize > wholeSize)
            ++larger;
    }
    std::cout << "total files=" << files << " whole=" << wholeTotal << " entry=" << entryTotal
              << " larger=" << larger << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "synth") {
        return Synthesize(args[1], std::stoul(args[2]));
    }
    if (args.size() == 4 && args[0] == "entries" && ParseCodecName(args[3])) {
        return CompareEntries(args[1], args[2], *ParseCodecName(args[3]));
    }
    std::cerr << "usage: package-size synth DIR MEGABYTES\n"
                 "       package-size entries OLD NEW lzo|bzip2\n";
    return 2;
}
