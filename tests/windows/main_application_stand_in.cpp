// Stands in for the main application, Quillmere.exe, in the windowed runs
// under Wine: it notes in the folder it was started in that it ran, and ends.
#include <fstream>

int main() {
    std::ofstream("quillmere-started.log", std::ios::app) << "main application started\n";
    return 0;
}
