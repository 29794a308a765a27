#include "support/installation_files.h"

#include <random>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace testing_support {

Tree ReadTree(const fs::path& root, const std::string& leftOut) {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string name = it->path().lexically_relative(root).generic_string();
        if (name == leftOut) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_directory())
            tree[name + "/"] = "";
        else
            tree[name] = ReadFileBytes(it->path());
    }
    return tree;
}

std::string VersionFile(const std::string& version, const std::string& listUrl,
                        const std::string& heading) {
    return heading + "[Main]\r\nVersion=" + version + "\r\nUpdateURL=" + listUrl + "\r\n";
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

std::string ByteRuns(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes;
    while (bytes.size() < size)
        bytes.append(64 + random() % 192, static_cast<char>(random()));
    bytes.resize(size);
    return bytes;
}

}  // namespace testing_support
