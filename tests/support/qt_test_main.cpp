// The widget tests need an application object, which GoogleTest's own main
// does not make. They run on Qt's offscreen platform (no display needed) and
// with a home folder of their own, so that nothing Qt caches or reads lands
// in the real user's folders.
#include <gtest/gtest.h>

#include <QApplication>
#include <filesystem>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    const testing_support::TempDir home;
    const fs::path runtime = home / "runtime";
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    qputenv("HOME", QByteArray::fromStdString(home.path().string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((home / "config").string()));
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString((home / "cache").string()));
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.string()));

    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
