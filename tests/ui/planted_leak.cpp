// A leak planted in our own code, in a process that uses Qt's desktop
// libraries as the widget tests do: the sanitizer build's ctest expects
// LeakSanitizer to report it, so the desktop suppressions can never hide a
// leak of ours. The home folder is deep on purpose: fontconfig keeps more of
// its state to the end when its cache path is long, and that must stay
// suppressed.
#include <QApplication>
#include <QLabel>
#include <filesystem>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Kept in a global that is cleared again, so the block becomes unreachable
// only at the end and is reported as a direct leak.
char* volatile planted = nullptr;

void PlantLeak() {
    planted = new char[12345];
    planted[0] = 1;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const testing_support::TempDir base;
    const fs::path home = base / std::string(80, 'h');
    fs::create_directories(home);
    qputenv("HOME", QByteArray::fromStdString(home.string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home / "config").string()));
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString((home / "cache").string()));

    QApplication application(argc, argv);
    QLabel label(QStringLiteral("Updating..."));
    label.show();
    label.grab();  // draws the text, which loads the fonts
    PlantLeak();
    planted = nullptr;
    return 0;
}
