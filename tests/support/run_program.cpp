#include "support/run_program.h"

#ifdef _WIN32
#include "support/windows_command_line.h"

#include <cstdio>
#else
#include <sys/wait.h>

#include <cstdlib>
#endif

namespace testing_support {

#ifdef _WIN32

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

}  // namespace

int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
               const std::filesystem::path& output, const std::filesystem::path& errors) {
    // A build path such as "/work/build/x.exe" names no drive: the working
    // one is taken, as any program would take it.
    const std::wstring file = std::filesystem::absolute(program).wstring();
    std::wstring commandLine = CommandLineWord(file);
    for (const std::string& argument : arguments)
        commandLine += L" " + CommandLineWord(Wide(argument));
    const InheritedHandles handles(output.wstring(), errors.wstring(), false);
    STARTUPINFOW startup = handles.Startup();
    PROCESS_INFORMATION process{};
    int status = -1;
    if (!handles.opened()) {
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
