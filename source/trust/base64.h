// Base64 (RFC 4648, the standard alphabet with "=" padding): the text form
// that keys and signatures travel in, in build settings, files and URLs'
// answers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace base64_detail {

// The value of a base64 digit, or -1 for anything else ("=" included).
constexpr int DigitValue(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace base64_detail

// Whether `text` is base64 exactly as an encoder writes it: whole groups of
// four digits, "=" only as the one or two last characters of the last group,
// and the bits a padded group leaves over all zero. Anything else (white
// space, line breaks, the URL alphabet, missing padding) is refused: a key or
// a signature that two readers could decode differently must not be taken.
// Constant-evaluable, so the build can check its own keys.
constexpr bool IsCanonicalBase64(std::string_view text) {
    if (text.size() % 4 != 0)
        return false;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    const std::size_t digits = text.size() - padding;
    for (std::size_t i = 0; i < digits; ++i) {
        if (base64_detail::DigitValue(text[i]) < 0)
            return false;
    }
    if (padding == 0)
        return true;
    // The last digit's low bits fall beyond the final byte: 4 of them before
    // "==", 2 before "=".
    const int last = base64_detail::DigitValue(text[digits - 1]);
    const int unusedMask = padding == 2 ? 0x0F : 0x03;
    return (last & unusedMask) == 0;
}

// The number of bytes canonical base64 `text` decodes to.
constexpr std::size_t DecodedBase64Size(std::string_view text) {
    std::size_t size = text.size() / 4 * 3;
    if (!text.empty() && text.back() == '=')
        size -= text[text.size() - 2] == '=' ? 2 : 1;
    return size;
}

std::string EncodeBase64(std::string_view bytes);

// The bytes of `text`, or nothing when it is not canonical base64
// (IsCanonicalBase64).
std::optional<std::string> DecodeBase64(std::string_view text);
