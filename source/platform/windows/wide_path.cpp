#include "platform/windows/wide_path.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <string_view>

namespace platform {
namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
constexpr std::wstring_view kUncPart = L"UNC\\";

bool StartsWith(const std::wstring& text, std::wstring_view start) {
    return text.compare(0, start.size(), start) == 0;
}

bool IsDriveLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// GetFullPathNameW: the working directory for a relative path, "." and ".."
// resolved by name. Wide, it takes paths of any length.
std::wstring FullPath(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0)
            return {};
        const bool fitted = length < full.size();
        full.resize(length);
        if (fitted)
            return full;
    }
}

}  // namespace

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty() || utf8.size() > INT_MAX)
        return {};
    const int size = static_cast<int>(utf8.size());
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), length);
    return wide;
}

std::string Narrow(const std::wstring& utf16) {
    if (utf16.empty() || utf16.size() > INT_MAX)
        return {};
    const int size = static_cast<int>(utf16.size());
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(), size,
                                           nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(), size, narrow.data(), length,
                        nullptr, nullptr);
    return narrow;
}

std::wstring NativeWidePath(const std::string& path) {
    return NativeWidePath(Widen(path));
}

std::wstring NativeWidePath(std::wstring path) {
    // A NUL would end the name early: the call would reach another file.
    if (path.empty() || path.find(L'\0') != std::wstring::npos)
        return {};
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (StartsWith(path, kDevicePrefix))
        return path;
    if (StartsWith(path, kLongPrefix)) {
        // Taken apart and made again, so that a path given back by
        // ResolvesInside, perhaps with more names added, comes out in the
        // same form as one written without the prefix.
        std::wstring rest = path.substr(kLongPrefix.size());
        if (CompareStringOrdinal(
                rest.c_str(), static_cast<int>(std::min(rest.size(), std::size_t{4})),
                kUncPart.data(), static_cast<int>(kUncPart.size()), TRUE) == CSTR_EQUAL) {
            rest = L"\\\\" + rest.substr(kUncPart.size());
        } else if (rest.size() >= 2 && IsDriveLetter(rest[0]) && rest[1] == L':') {
            // "\\?\C:" is the volume's root; without the prefix, "C:" alone
            // would mean the working directory on that drive.
            if (rest.size() == 2)
                rest += L'\\';
        } else {
            return path;  // a volume named by its GUID: nothing to resolve by name
        }
        path = std::move(rest);
    }
    std::wstring full = FullPath(path);
    if (full.empty() || StartsWith(full, kLongPrefix) || StartsWith(full, kDevicePrefix))
        return full;
    if (StartsWith(full, L"\\\\"))
        return std::wstring(kLongPrefix) + std::wstring(kUncPart) + full.substr(2);
    return std::wstring(kLongPrefix) + full;
}

}  // namespace platform
