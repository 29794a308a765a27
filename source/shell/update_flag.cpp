#include "shell/update_flag.h"

#include <QString>

namespace {

const QString kFlagGroup = QStringLiteral("kelvosession");
const QString kFlagName = QStringLiteral("bNeedUpdate");

}  // namespace

std::unique_ptr<QSettings> OpenUserSoftwareSettings() {
    // On Windows this is the registry key HKEY_CURRENT_USER\Software. On
    // Linux the native format is an INI file, and an organization without an
    // application name maps to one file that keeps the registry's shape:
    // $XDG_CONFIG_HOME/Software.conf (~/.config/Software.conf when the
    // variable is unset), with [kelvosession] as the group. Only the user's
    // own store counts, as with HKEY_CURRENT_USER: without this, a system-wide
    // file under $XDG_CONFIG_DIRS holding the value would make it look present
    // and the updater would create it in the user's file.
    auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                QStringLiteral("Software"));
    settings->setFallbacksEnabled(false);
    return settings;
}

void ClearUpdateNeededFlag() {
    const std::unique_ptr<QSettings> settings = OpenUserSoftwareSettings();
    settings->beginGroup(kFlagGroup);
    if (settings->contains(kFlagName))
        settings->setValue(kFlagName, false);
    settings->endGroup();
    // Destroying the settings writes them out.
}
