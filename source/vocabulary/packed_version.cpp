#include "vocabulary/packed_version.h"

#include "vocabulary/c_space.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// One "%d" conversion at `*pos`; on success stores the value and moves past it.
bool ScanInt(std::string_view text, std::size_t* pos, int* value) {
    std::size_t i = *pos;
    while (i < text.size() && IsCSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i >= text.size() || !IsDigit(text[i]))
        return false;
    std::uint32_t magnitude = 0;  // wraps: out-of-range numbers keep their low bits
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        magnitude = magnitude * 10u + static_cast<std::uint32_t>(text[i] - '0');
    }
    *value = static_cast<int>(negative ? 0u - magnitude : magnitude);
    *pos = i;
    return true;
}

}  // namespace

int ScanVersionNumbers(std::string_view text, int numbers[3]) {
    std::size_t pos = 0;
    for (int converted = 0; converted < 3; ++converted) {
        if (converted > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return converted;
            ++pos;
        }
        if (!ScanInt(text, &pos, &numbers[converted]))
            return converted;
    }
    return 3;
}

std::string FormatVersion(PackedVersion version) {
    return std::to_string(version >> 24) + "." + std::to_string((version >> 16) & 0xFFu) + "." +
           std::to_string(version & 0xFFFFu);
}
