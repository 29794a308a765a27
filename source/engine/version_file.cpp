#include "engine/version_file.h"

#include "build_config.h"
#include "patch/patch_package.h"
#include "platform/platform.h"

const char* const kDefaultPatchListUrl = kBuildDefaultPatchListUrl;

std::string ReadVersionSetting(const std::string& installRoot, const std::string& key,
                               const std::string& defaultText) {
    return platform::ReadProfileString("Main", key, defaultText, kSettingBufferSize,
                                       PathBelowRoot(installRoot, kVersionFileName));
}

PackedVersion ReadInstalledVersion(const std::string& installRoot) {
    int numbers[3] = {0, 0, 0};
    if (ScanVersionNumbers(ReadVersionSetting(installRoot, "Version", "0.0.0"), numbers) != 3)
        return 0;
    return PackVersion(numbers[0], numbers[1], numbers[2]);
}
