// What the file calls must do on Windows that POSIX gives for free: names in
// any script and past 260 characters, a creation that refuses what stands
// there, the names Windows cannot hold, replacing a program while it runs,
// and links that lead out of the installation.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"
#include "support/under_wine.h"

namespace fs = std::filesystem;
using testing_support::ScopedWorkingDir;
using testing_support::TempDir;
using testing_support::UnderWine;
using testing_support::Utf8Path;

namespace {

// A copy of this program started with this argument only waits to be ended:
// a running program for MoveFileOver to replace.
constexpr wchar_t kStayRunning[] = L"--stay-running-to-be-replaced";

[[maybe_unused]] const bool stayRunning = [] {
    if (std::wcsstr(GetCommandLineW(), kStayRunning) != nullptr) {
        Sleep(120 * 1000);  // ended by the test long before
        ExitProcess(0);
    }
    return false;
}();

void Write(const std::string& path, const std::string& bytes) {
    std::FILE* file = platform::OpenFile(path, "wb");
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(platform::WriteFile(bytes.data(), 1, bytes.size(), file), bytes.size());
    EXPECT_EQ(platform::CloseFile(file), 0);
}

std::string Read(const std::string& path) {
    std::FILE* file = platform::OpenFile(path, "rb");
    if (file == nullptr)
        return "<cannot open>";
    std::string bytes(4096, '\0');
    bytes.resize(platform::ReadFile(bytes.data(), 1, bytes.size(), file));
    platform::CloseFile(file);
    return bytes;
}

std::vector<fs::path> MovedAside(const fs::path& root) {
    std::vector<fs::path> found;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename().wstring().ends_with(L".moved-aside"))
            found.push_back(entry.path());
    }
    return found;
}

// Runs `script` in the Linux shell Wine's drives come from, in `folder`.
// Wine gives no handle to wait for a Linux process by, so the script says
// when it is done with a file.
bool RunLinuxShell(const fs::path& folder, const std::wstring& script) {
    std::wstring command = L"sh -c \"" + script + L" && touch shell-done\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process)) {
        return false;
    }
    for (HANDLE handle : {process.hThread, process.hProcess}) {
        if (handle != nullptr)
            CloseHandle(handle);
    }
    for (int attempt = 0; attempt < 100 && !fs::exists(folder / "shell-done"); ++attempt)
        Sleep(100);
    return fs::remove(folder / "shell-done");
}

// Symbolic links in `folder`, each a name and its target, removed again
// before the folder is: removing a tree follows links, and under Wine never
// ends on one whose target is gone. Wine's CreateSymbolicLinkW reports
// success and makes nothing, but Wine follows links made on the Linux side
// of its drives, so there a Linux shell makes them.
class Links {
  public:
    using Link = std::pair<std::wstring, std::wstring>;

    Links(fs::path folder, std::vector<Link> links)
        : folder_(std::move(folder)), links_(std::move(links)) {
        std::wstring script = L"true";
        for (const auto& [name, target] : links_) {
            script += L" && ln -s " + target + L" " + name;
            const fs::path native = fs::path(target).make_preferred();
            const DWORD flags =
                SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE |
                (fs::is_directory(folder_ / native) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
            made_ = made_ && (UnderWine() ||
                              CreateSymbolicLinkW((folder_ / name).c_str(), native.c_str(), flags));
        }
        made_ = made_ && (!UnderWine() || RunLinuxShell(folder_, script));
    }
    ~Links() {
        std::wstring script = L"rm -f";
        for (const auto& [name, target] : links_) {
            script += L" " + name;
            const fs::path link = folder_ / name;
            if (!UnderWine() && !DeleteFileW(link.c_str()))
                RemoveDirectoryW(link.c_str());
        }
        if (UnderWine())
            RunLinuxShell(folder_, script);
    }
    Links(const Links&) = delete;
    Links& operator=(const Links&) = delete;

    bool made() const { return made_; }

  private:
    fs::path folder_;
    std::vector<Link> links_;
    bool made_ = true;
};

TEST(WindowsFiles, ReachesNamesInAnyScriptAndOfAnyLength) {
    TempDir dir;
    std::string folder = Utf8Path(dir.path());
    // The same folders as Windows names them; the test folder's own removal
    // cannot reach past 260 characters.
    std::vector<std::wstring> made{L"\\\\?\\" + dir.path().wstring()};
    for (char part = 'a'; folder.size() <= 300; ++part) {
        folder += (part % 2 == 0 ? "/" : "\\") + std::string(60, part);
        made.push_back(made.back() + L"\\" + std::wstring(60, part));
        ASSERT_EQ(platform::MakeDirectory(folder), 0) << folder;
    }
    const std::string file = folder + "/été.txt";
    Write(file, "contents");
    EXPECT_EQ(platform::RegularFileSize(file), 8);
    const std::string moved = folder + "\\日本語 ünïcödé.txt";
    Write(moved, "old");
    ASSERT_EQ(platform::MoveFileOver(file, moved), 0);
    EXPECT_EQ(Read(moved), "contents");
    EXPECT_EQ(platform::RegularFileSize(file), -1);
    EXPECT_EQ(platform::RegularFileSize(folder), -1);  // a folder is no regular file

    // The name Windows holds is the one the UTF-8 spells, not its bytes read
    // in some code page.
    Write(Utf8Path(dir.path()) + "\\été.txt", "short");
    EXPECT_TRUE(fs::exists(dir.path() / L"\u00e9t\u00e9.txt"));

    // Offsets past what a 32-bit long holds.
    std::FILE* stream = platform::OpenFile(moved, "rb+");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(platform::SeekFile(stream, std::int64_t{5} << 30, SEEK_SET), 0);
    EXPECT_EQ(platform::TellFile(stream), std::int64_t{5} << 30);
    platform::CloseFile(stream);

    EXPECT_EQ(platform::RemoveFile(moved), 0);
    for (std::size_t i = made.size() - 1; i > 0; --i)
        EXPECT_TRUE(RemoveDirectoryW(made[i].c_str())) << i;
}

TEST(WindowsFiles, ExclusiveCreationNeverTouchesWhatStandsThere) {
    TempDir dir;
    const std::string existing = Utf8Path(dir / "existing");
    Write(existing, "kept");
    EXPECT_EQ(platform::OpenFile(existing, "wbx"), nullptr);
    EXPECT_EQ(platform::CreatePrivateFile(existing), nullptr);
    EXPECT_EQ(Read(existing), "kept");

    std::FILE* fresh = platform::CreatePrivateFile(Utf8Path(dir / "key.pem"));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(platform::WriteFile("secret", 1, 6, fresh), 6u);
    EXPECT_EQ(platform::SyncFile(fresh), 0);
    EXPECT_EQ(platform::CloseFile(fresh), 0);
    EXPECT_EQ(Read(Utf8Path(dir / "key.pem")), "secret");
}

// A key written through CreatePrivateFile must not be readable by another
// user through entries the folder would pass on.
TEST(WindowsFiles, PrivateFileGrantsItsOwnerAloneAndInheritsNothing) {
    if (UnderWine()) {
        GTEST_SKIP() << "Wine keeps no access list: it turns one into POSIX mode bits and "
                        "reads back one made from them";
    }
    TempDir dir;
    const fs::path key = dir / "key.pem";
    std::FILE* file = platform::CreatePrivateFile(Utf8Path(key));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform::CloseFile(file), 0);

    DWORD size = 0;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    GetFileSecurityW(key.c_str(), wanted, nullptr, 0, &size);
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
    auto* descriptor = reinterpret_cast<SECURITY_DESCRIPTOR*>(buffer.data());
    ASSERT_TRUE(GetFileSecurityW(key.c_str(), wanted, descriptor, size, &size));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ACL* acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
    ASSERT_TRUE(present && acl != nullptr);  // no list at all would grant everyone
    ASSERT_EQ(acl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, 0, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    PSID owner = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor, &owner, &defaulted));
    EXPECT_TRUE(EqualSid(owner, &allowed->SidStart));
}

TEST(WindowsFiles, RefusesNamesWindowsWouldReadAsSomethingElse) {
    for (const char* refused :
         {"CON", "sub/con.txt", "Aux.tar.gz", "a\\NUL", "nul .txt", "COM1", "lpt9.log",
          "COM\xC2\xB9", "folder./file", "file ", "a/./b", "data.bin:stream", "C:file", "what?"}) {
        EXPECT_FALSE(platform::FileSystemCanHoldName(refused)) << refused;
    }
    for (const char* accepted : {"été.txt", "sub/dir\\file.txt", "CONSOLE.txt", "COM10", "LPT",
                                 "xcon", ".hidden", "a..b", "bin/app.exe"}) {
        EXPECT_TRUE(platform::FileSystemCanHoldName(accepted)) << accepted;
    }
}

TEST(WindowsFiles, ReplacesARunningProgramAndRemovesItOnceEnded) {
    TempDir dir;
    fs::create_directory(dir / "bin");
    const fs::path program = dir / "bin" / "app.exe";
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    ASSERT_TRUE(CopyFileW(self.c_str(), program.c_str(), FALSE));
    std::wstring command = L"\"" + program.wstring() + L"\" " + kStayRunning;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process));

    Write(Utf8Path(dir / "bin/app.exe.updating"), "new program");
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 0), DWORD{WAIT_TIMEOUT})
        << "the copy did not stay";
    const int moved =
        platform::MoveFileOver(Utf8Path(dir / "bin/app.exe.updating"), Utf8Path(program));
    platform::RemoveMovedAside(Utf8Path(dir.path()));  // still running: it stays
    const std::vector<fs::path> whileRunning = MovedAside(dir.path());
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    EXPECT_EQ(moved, 0);
    EXPECT_EQ(Read(Utf8Path(program)), "new program");
    ASSERT_EQ(whileRunning.size(), 1u);
    EXPECT_TRUE(whileRunning[0].filename().wstring().starts_with(L"app.exe."));
    EXPECT_EQ(fs::file_size(whileRunning[0]), fs::file_size(self));
    // Windows lets go of a program's file as its process goes, maybe a moment
    // after the process counts as ended.
    for (int attempt = 0; attempt < 50 && !MovedAside(dir.path()).empty(); ++attempt) {
        Sleep(100);
        platform::RemoveMovedAside(Utf8Path(dir.path()));
    }
    EXPECT_TRUE(MovedAside(dir.path()).empty());
}

TEST(WindowsFiles, MovesAsideOnlyWhatCanBeMovedBack) {
    TempDir dir;
    const fs::path sourcePath = dir / "new";
    const fs::path targetPath = dir / "target";
    const std::string source = Utf8Path(sourcePath);
    const std::string target = Utf8Path(targetPath);
    Write(source, "new");
    Write(target, "old");
    // Held open without delete sharing, neither file can be renamed: the
    // move fails and leaves both as they were.
    for (const fs::path& held : {sourcePath, targetPath}) {
        const HANDLE handle = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_NE(platform::MoveFileOver(source, target), 0) << held;
        CloseHandle(handle);
        EXPECT_EQ(Read(target), "old");
        EXPECT_EQ(Read(source), "new");
        EXPECT_TRUE(MovedAside(dir.path()).empty());
    }
    fs::create_directory(dir / "folder");
    EXPECT_NE(platform::MoveFileOver(source, Utf8Path(dir / "folder")), 0);
    EXPECT_TRUE(fs::is_directory(dir / "folder"));

    // A reader of the target (opened as every file here is, sharing delete)
    // does not stop the replacement.
    std::FILE* reader = platform::OpenFile(target, "rb");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(platform::MoveFileOver(source, target), 0);
    platform::CloseFile(reader);
    EXPECT_EQ(Read(target), "new");
    platform::RemoveMovedAside(Utf8Path(dir.path()));
    EXPECT_TRUE(MovedAside(dir.path()).empty());
}

TEST(WindowsFiles, JudgesLinksByWhereTheyLead) {
    TempDir outer;
    fs::create_directories(outer / "root/sub");
    fs::create_directories(outer / "out");
    const Links links(
        outer / "root",
        {{L"outlink", L"../out"}, {L"in", L"sub"}, {L"dangling_out", L"../out/none"}});
    if (!links.made()) {
        GTEST_SKIP() << "this account may not make symbolic links";
    }
    const std::string root = Utf8Path(outer / "root");
    EXPECT_FALSE(platform::ResolvesInside(root, root + "/outlink/new.txt"));
    EXPECT_FALSE(platform::ResolvesInside(root, root + "\\outlink"));
    EXPECT_FALSE(platform::ResolvesInside(root, root + "/in/../../out/x"));
    // Wine sees no link whose target is missing; Windows does.
    if (!UnderWine()) {
        EXPECT_FALSE(platform::ResolvesInside(root, root + "/dangling_out"));
    }

    ScopedWorkingDir workingDir(outer.path());
    std::string resolved;
    ASSERT_TRUE(platform::ResolvesInside("ROOT", "root\\IN/new.txt", &resolved));
    // The answer goes back into the file calls, and writes through the link.
    Write(resolved, "through the link");
    EXPECT_EQ(Read(Utf8Path(outer / "root/sub/new.txt")), "through the link");

    // Nothing outside is removed through a link either.
    Write(Utf8Path(outer / "out/old.exe.1.moved-aside"), "outside");
    platform::RemoveMovedAside(root);
    EXPECT_EQ(Read(Utf8Path(outer / "out/old.exe.1.moved-aside")), "outside");
}

}  // namespace
