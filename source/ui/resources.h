// The compiled-in pictures, the updater's icon and the translation.
//
// Every picture the windows show is compiled into the program under
// ":/res/update/image/". The collection registers itself from a static
// initializer before main runs and unregisters itself at exit; the program
// flow registers it once more at its start, which changes nothing.
//
// The visible texts are English source strings. One translation file,
// "./language/update_zh_CN.qm", is installed at start-up when it loads.
// All functions here belong to the GUI thread.
#pragma once

#include <QIcon>
#include <QString>
#include <QTranslator>
#include <memory>

// Registers the picture collection; registering it again changes nothing.
void RegisterResources();

// "./language/" followed by `fileName`, relative to the working directory.
QString TranslationPath(const QString& fileName);

// Loads the translation at `path` with the toolkit's search (the name with
// ".qm" added, the name itself, then the name cut at its last "_" or "." and
// tried again, so "update_zh.qm" and "update.qm" stand in for a missing
// "update_zh_CN.qm") and installs it in the application only when it loaded.
// Returns the installed translator, which must live as long as its texts are
// used, or null when nothing loaded; nothing is reported either way. Call it
// after the application object exists and before any window is created.
std::unique_ptr<QTranslator> InstallTranslation(const QString& path);

// The updater's icon in its seven sizes (16 to 256 pixels).
QIcon UpdaterIcon();
