#include "shell/update_flag.h"

#include <QString>

namespace {

const QString kFlagGroup = QStringLiteral("kelvosession");
const QString kFlagName = QStringLiteral("bNeedUpdate");

}  // namespace

std::unique_ptr<QSettings> OpenUserSoftwareSettings() {
#ifdef Q_OS_WIN
    // The registry key HKEY_CURRENT_USER\Software itself, so the flag is
    // HKEY_CURRENT_USER\Software\kelvosession\bNeedUpdate where the main
    // application keeps it. Named as an organization instead, "Software"
    // would get a key of its own below it (HKEY_CURRENT_USER\Software\Software).
    auto settings = std::make_unique<QSettings>(QStringLiteral("HKEY_CURRENT_USER\\Software"),
                                                QSettings::NativeFormat);
#else
    // The native format is an INI file here, and an organization without an
    // application name maps to one file that keeps the registry's shape:
    // $XDG_CONFIG_HOME/Software.conf (~/.config/Software.conf when the
    // variable is unset), with [kelvosession] as the group.
    auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                QStringLiteral("Software"));
#endif
    // Only the user's own store counts, as with HKEY_CURRENT_USER: without
    // this, a system-wide file under $XDG_CONFIG_DIRS holding the value would
    // make it look present and the updater would create it in the user's file.
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
