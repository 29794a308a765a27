// Child processes and the console, through the wide (UTF-16) calls: paths
// reach the platform layer as UTF-8, and an installation folder may well
// hold letters outside the ANSI code page.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/wide_path.h"

namespace platform {
namespace {

// UTF-8 to UTF-16, with "/" turned into "\" as cmd expects. False for text
// that is not UTF-8: a name it does not hold is never guessed at.
bool WidePath(const std::string& path, std::wstring* wide) {
    *wide = Widen(path);
    std::replace(wide->begin(), wide->end(), L'/', L'\\');
    return path.empty() || !wide->empty();
}

// The absolute form of `path`, counted from the working directory when
// relative; empty on failure.
std::wstring FullPath(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    for (int attempt = 0; attempt < 3 && size > 0; ++attempt) {
        std::wstring full(size, L'\0');
        const DWORD written = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
        if (written > 0 && written < size) {
            full.resize(written);
            return full;
        }
        size = written;  // the working directory changed in between: try the new size
    }
    return {};
}

bool IsRelative(const std::wstring& path) {
    const bool rooted = !path.empty() && path[0] == L'\\';
    const bool drive = path.size() >= 2 && path[1] == L':';
    return !rooted && !drive;
}

std::wstring CommandProcessor() {
    // From the system folder, not from ComSpec or the search path, which
    // another program may have pointed elsewhere.
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return std::wstring(folder, length) + L"\\cmd.exe";
}

DWORD Milliseconds(int seconds) {
    constexpr int kLongest = static_cast<int>((INFINITE - 1) / 1000);
    return seconds <= 0 ? 0 : static_cast<DWORD>(std::min(seconds, kLongest)) * 1000;
}

// Closes a handle when it goes out of scope.
class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() {
        if (valid())
            CloseHandle(handle_);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

// A process attribute list naming the only handles a child inherits, so that
// whatever else the updater holds open and inheritable (on any thread) stays
// with the updater.
class InheritOnly {
  public:
    explicit InheritOnly(HANDLE handle) : handle_(handle) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size))
            return;
        list_ = list;
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_,
                                       sizeof handle_, nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list_);
            list_ = nullptr;
        }
    }
    ~InheritOnly() {
        if (list_ != nullptr)
            DeleteProcThreadAttributeList(list_);
    }
    InheritOnly(const InheritOnly&) = delete;
    InheritOnly& operator=(const InheritOnly&) = delete;

    // Null when the list could not be made; the child then inherits every
    // inheritable handle, which costs nothing worse than a held handle.
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

  private:
    HANDLE handle_;  // the list refers to it, so it lives as long
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

void RunScriptHidden(const std::string& scriptPath, const std::string& workingFolder,
                     int waitLimitSeconds) {
    std::wstring folder;
    std::wstring script;
    if (!WidePath(workingFolder, &folder) || !WidePath(scriptPath, &script) || script.empty())
        return;
    // The child is given its folder at creation; ours is never touched. A
    // folder that is missing or not a folder runs nothing (CreateProcessW
    // would refuse it too, but should never fall back on ours).
    folder = FullPath(folder.empty() ? L"." : folder);
    const DWORD attributes =
        folder.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return;
    const std::wstring processor = CommandProcessor();
    if (processor.empty())
        return;

    // A relative script is named to cmd relative to its own folder, with a
    // leading ".\" so that the search path is never consulted: the folder
    // itself (spaces, "%", "&", any letter) then never passes through cmd's
    // parsing. /d skips the AutoRun commands of the registry; /s makes cmd
    // take everything between the outermost quotes as the command, so the
    // quotes around a name with spaces survive.
    if (IsRelative(script))
        script = L".\\" + script;
    std::wstring commandLine = L"\"" + processor + L"\" /d /s /c \"\"" + script + L"\"\"";

    // No input and no output: one handle on the null device for all three,
    // the only handle the script inherits.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const OwnedHandle nul(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                      OPEN_EXISTING, 0, nullptr));
    if (!nul.valid())
        return;
    const InheritOnly inherit(nul.get());

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = nul.get();
    startup.StartupInfo.hStdOutput = nul.get();
    startup.StartupInfo.hStdError = nul.get();
    startup.lpAttributeList = inherit.get();
    DWORD flags = CREATE_NO_WINDOW;
    if (inherit.get() != nullptr)
        flags |= EXTENDED_STARTUPINFO_PRESENT;

    PROCESS_INFORMATION child{};
    if (!CreateProcessW(processor.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                        nullptr, folder.c_str(), &startup.StartupInfo, &child)) {
        return;
    }
    const OwnedHandle process(child.hProcess);
    const OwnedHandle thread(child.hThread);
    // A script still running after the limit is left to run on.
    WaitForSingleObject(process.get(), Milliseconds(waitLimitSeconds));
}

void StartProgramDetached(const std::string& programPath) {
    std::wstring program;
    if (!WidePath(programPath, &program) || program.empty())
        return;
    // Named by its full path, so that neither the updater's own folder nor
    // the search path is tried, only the working directory.
    program = FullPath(program);
    if (program.empty())
        return;
    std::wstring commandLine = L"\"" + program + L"\"";
    // Detached from the updater's console, if it has one, and in a group of
    // its own: the main application outlives the updater and must not
    // receive the Ctrl+C, Ctrl+Break or console close meant for it. It
    // inherits no handle.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                       DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                       &child)) {
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
}

bool StandardErrorIsTerminal() {
    // Only a console answers GetConsoleMode: a file, a pipe (a terminal
    // emulator of a POSIX layer) or no handle at all does not.
    const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return standardError != nullptr && standardError != INVALID_HANDLE_VALUE &&
           GetConsoleMode(standardError, &mode) != 0;
}

}  // namespace platform
