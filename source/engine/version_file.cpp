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

namespace {

std::optional<PackedVersion> VersionOfSetting(const std::string& value) {
    int numbers[3] = {0, 0, 0};
    if (ScanVersionNumbers(value, numbers) != 3)
        return std::nullopt;
    return PackVersion(numbers[0], numbers[1], numbers[2]);
}

}  // namespace

PackedVersion ReadInstalledVersion(const std::string& installRoot) {
    return VersionOfSetting(ReadVersionSetting(installRoot, "Version", "0.0.0")).value_or(0);
}

std::optional<PackedVersion> VersionInText(const std::string& text) {
    return VersionOfSetting(
        platform::ReadProfileStringFromText(text, "Main", "Version", "", kSettingBufferSize));
}
