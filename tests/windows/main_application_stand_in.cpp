// Stands in for the main application, Quillmere.exe, in the windowed runs
// under Wine: it records that it ran, and in which folder, then ends. The
// record goes to the file QUILLMERE_STARTS names (the updater passes its
// environment on), or to quillmere-started.log in the folder it runs in.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

int main() {
    const char* record = std::getenv("QUILLMERE_STARTS");
    const std::u8string folder = std::filesystem::current_path().u8string();
    std::ofstream(record != nullptr ? record : "quillmere-started.log",
                  std::ios::app | std::ios::binary)
        << "started in " << std::string(folder.begin(), folder.end()) << "\n";
    return 0;
}
