#include "support/windows_command_line.h"

namespace testing_support {
namespace {

HANDLE Inheritable(const std::wstring& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                        nullptr, nullptr);
    return text;
}

std::wstring CommandLineWord(const std::wstring& word) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

InheritedHandles::InheritedHandles(const std::wstring& output, const std::wstring& errors,
                                   bool append) {
    const DWORD access = append ? FILE_APPEND_DATA : GENERIC_WRITE;
    const DWORD disposition = append ? OPEN_ALWAYS : CREATE_ALWAYS;
    input_ = Inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    output_ = Inheritable(output, access, disposition);
    errors_ = errors.empty() ? output_ : Inheritable(errors, access, disposition);
}

InheritedHandles::~InheritedHandles() {
    for (const HANDLE handle :
         {input_, output_, errors_ != output_ ? errors_ : INVALID_HANDLE_VALUE}) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
}

bool InheritedHandles::opened() const {
    return input_ != INVALID_HANDLE_VALUE && output_ != INVALID_HANDLE_VALUE &&
           errors_ != INVALID_HANDLE_VALUE;
}

STARTUPINFOW InheritedHandles::Startup() const {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input_;
    startup.hStdOutput = output_;
    startup.hStdError = errors_;
    return startup;
}

}  // namespace testing_support
