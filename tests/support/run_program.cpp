#include "support/run_program.h"

#ifdef _WIN32
#include <windows.h>

#include "support/windows_command_line.h"

#include <cstdio>
#else
#include <sys/wait.h>

#include <cstdlib>
#endif

namespace testing_support {

#ifdef _WIN32

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

namespace {

// Starts the program. Under load Wine now and then reports a child that died
// while it was being set up, before the program itself ran, as
// ERROR_INTERNAL_ERROR; such a start is tried again.
bool Start(const std::wstring& file, std::wstring commandLine, STARTUPINFOW& startup,
           PROCESS_INFORMATION& process) {
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(file.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                           nullptr, &startup, &process)) {
            return true;
        }
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3)
            return false;
        Sleep(100);
    }
}

// A handle the child inherits.
HANDLE Inheritable(const std::wstring& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::filesystem::path& output, const std::filesystem::path& errors) {
    // A build path such as "/work/build/x.exe" names no drive: the working
    // one is taken, as any program would take it.
    const std::wstring file = std::filesystem::absolute(program).wstring();
    std::wstring commandLine = CommandLineWord(file);
    for (const std::string& argument : arguments)
        commandLine += L" " + CommandLineWord(Wide(argument));
    const HANDLE input = Inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    const HANDLE out = Inheritable(output.wstring(), GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE err =
        errors.empty() ? out : Inheritable(errors.wstring(), GENERIC_WRITE, CREATE_ALWAYS);
    int status = -1;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    if (input == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE ||
        err == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "RunProgram: cannot open the output files (error %lu)\n",
                     GetLastError());
    } else if (!Start(file, commandLine, startup, process)) {
        std::fprintf(stderr, "RunProgram: cannot start %ls (error %lu)\n", file.c_str(),
                     GetLastError());
    } else {
        DWORD code = 0;
        if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(process.hProcess, &code)) {
            status = static_cast<int>(code);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    for (const HANDLE handle : {input, out, err != out ? err : INVALID_HANDLE_VALUE}) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    return status;
}

#else

namespace {

std::string ShellQuoted(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::filesystem::path& output, const std::filesystem::path& errors) {
    std::string command = ShellQuoted(program.string());
    for (const std::string& argument : arguments)
        command += " " + ShellQuoted(argument);
    command += " >" + ShellQuoted(output.string());
    command += errors.empty() ? " 2>&1" : " 2>" + ShellQuoted(errors.string());
    command += " </dev/null";
    const int raw = std::system(command.c_str());
    return raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

#endif

}  // namespace testing_support
