#include "trust/base64.h"

#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

char DigitOf(std::uint32_t group, int shift) {
    return kAlphabet[(group >> shift) & 0x3F];
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16 |
                                    static_cast<std::uint8_t>(bytes[i + 1]) << 8 |
                                    static_cast<std::uint8_t>(bytes[i + 2]);
        text += {DigitOf(group, 18), DigitOf(group, 12), DigitOf(group, 6), DigitOf(group, 0)};
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
        text += {DigitOf(group, 18), DigitOf(group, 12), '=', '='};
    } else if (rest == 2) {
        const std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16 |
                                    static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        text += {DigitOf(group, 18), DigitOf(group, 12), DigitOf(group, 6), '='};
    }
    return text;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (!IsCanonicalBase64(text))
        return std::nullopt;
    std::string bytes;
    bytes.reserve(DecodedBase64Size(text));
    std::uint32_t bits = 0;
    int bitCount = 0;
    for (const char c : text) {
        if (c == '=')
            break;
        bits = (bits << 6 | static_cast<std::uint32_t>(base64_detail::DigitValue(c))) & 0xFFFFFF;
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes += static_cast<char>((bits >> bitCount) & 0xFF);
        }
    }
    return bytes;
}
