// Programs started with CreateProcessW and waited for on their process handle.
#include "child_process.h"
#include "support/windows_command_line.h"

namespace testing_support {
namespace {

// The block CreateProcessW takes: each NAME=value ended by a zero, and one
// more zero at the end.
std::wstring EnvironmentBlock(const std::vector<std::string>& environment) {
    std::wstring block;
    for (const std::string& variable : environment) {
        block += Wide(variable);
        block += L'\0';
    }
    block += L'\0';
    return block;
}

}  // namespace

std::vector<std::string> EnvironmentWith(const std::map<std::string, std::string>& changes) {
    std::vector<std::string> environment;
    wchar_t* const strings = GetEnvironmentStringsW();
    for (const wchar_t* variable = strings; *variable != L'\0'; variable += wcslen(variable) + 1) {
        const std::string entry = Utf8(variable);
        // Entries such as "=C:=C:\folder" (a drive's current folder) have no
        // name before their first '='; they are kept as they are.
        if (!changes.contains(entry.substr(0, entry.find('=', 1))))
            environment.push_back(entry);
    }
    FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : changes) {
        if (!value.empty())
            environment.push_back(name + "=" + value);
    }
    return environment;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment,
                           const std::filesystem::path& workingDir,
                           const std::filesystem::path& output,
                           const std::vector<std::pair<int, int>>& redirects) {
    if (argv.empty() || !redirects.empty())
        return;
    const std::wstring program = std::filesystem::path(Wide(argv[0])).make_preferred().wstring();
    std::wstring commandLine;
    for (const std::string& argument : argv) {
        commandLine += (commandLine.empty() ? L"" : L" ") + CommandLineWord(Wide(argument));
    }
    std::wstring block = EnvironmentBlock(environment);
    // Without its log a child's failure could not be told from its silence,
    // so a log that cannot be opened leaves the child unstarted.
    const InheritedHandles handles(output.empty() ? L"NUL" : output.wstring(), {}, true);
    if (!handles.opened())
        return;
    STARTUPINFOW startup = handles.Startup();
    PROCESS_INFORMATION child{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT, block.data(),
                       workingDir.empty() ? nullptr : workingDir.wstring().c_str(), &startup,
                       &child)) {
        CloseHandle(child.hThread);
        process_ = child.hProcess;
        pid_ = static_cast<pid_t>(child.dwProcessId);
    }
}

ChildProcess::~ChildProcess() {
    Stop();
    if (process_ != nullptr)
        CloseHandle(process_);
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    if (!started() || exitStatus_)
        return exitStatus_;
    if (WaitForSingleObject(process_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD status = 0;
    exitStatus_ = GetExitCodeProcess(process_, &status) ? static_cast<int>(status) : -1;
    return exitStatus_;
}

void ChildProcess::Stop() {
    if (!started() || WaitForExit(std::chrono::milliseconds(0)))
        return;
    TerminateProcess(process_, 1);
    WaitForExit(std::chrono::seconds(5));
}

}  // namespace testing_support
