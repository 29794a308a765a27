// The version file's reader on arbitrary text: the profile-file rules that
// find "Version" and "UpdateURL", and the "%d.%d.%d" scan of the version.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/version_file.h"
#include "fuzz_check.h"
#include "platform/platform.h"

namespace {

// A value is what a caller's buffer would hold: cut to the buffer, and a C
// string, so it never holds a zero byte.
void CheckValue(const std::string& value, std::size_t bufferSize) {
    FUZZ_CHECK(bufferSize == 0 ? value.empty() : value.size() < bufferSize);
    FUZZ_CHECK(value.find('\0') == std::string::npos);
}

void CheckVersionScan(const std::string& text) {
    int numbers[3] = {-7, -7, -7};
    const int converted = ScanVersionNumbers(text, numbers);
    FUZZ_CHECK(converted >= 0 && converted <= 3);
    // Conversions stop at the first failure: the numbers after it stay as
    // they were.
    for (int i = converted; i < 3; ++i)
        FUZZ_CHECK(numbers[i] == -7);
    if (converted == 3)
        FormatVersion(PackVersion(numbers[0], numbers[1], numbers[2]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool realNames = input.ConsumeBool();
    const std::string section = realNames ? "Main" : input.ConsumeRandomLengthString(16);
    const std::string key = realNames ? "Version" : input.ConsumeRandomLengthString(16);
    const std::string fallback = input.ConsumeRandomLengthString(64);
    const auto bufferSize = input.ConsumeIntegralInRange<std::size_t>(0, 2048);
    const std::string text = input.ConsumeRemainingBytesAsString();

    const std::string value =
        platform::ReadProfileStringFromText(text, section, key, fallback, bufferSize);
    CheckValue(value, bufferSize);
    CheckVersionScan(value);
    CheckVersionScan(text);

    // The two settings the updater reads, with its own buffer size.
    for (const char* setting : {"Version", "UpdateURL"}) {
        CheckValue(
            platform::ReadProfileStringFromText(text, "Main", setting, "0.0.0", kSettingBufferSize),
            kSettingBufferSize);
    }
    return 0;
}
