// The update-needed flag the main application keeps in its user's settings.
//
// The main application sets `bNeedUpdate` in group `kelvosession` of the
// user's "Software" settings when it wants an update; after a successful run
// the updater overwrites it with false. The updater never creates the value:
// an application that does not use the flag finds nothing new in its settings.
// GUI thread only.
#pragma once

#include <QSettings>
#include <memory>

// The user's "Software" settings tree in the settings layer's native format.
// See the definition for where it lives on each system.
std::unique_ptr<QSettings> OpenUserSoftwareSettings();

// Overwrites an existing `bNeedUpdate` with false and writes the settings out;
// leaves everything untouched when the value does not exist. Failures to
// write are not reported: the updater has no one to tell.
void ClearUpdateNeededFlag();
