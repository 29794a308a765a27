// The children the updater starts: the post-update script and the main
// application. Each test runs in a folder of its own, its working directory,
// from which the main application is started; the scripts are given it as
// their working folder.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

// Waits up to five seconds for a child to leave `file` behind.
std::string AwaitFile(const fs::path& file) {
    for (int tries = 0; tries < 250 && !fs::exists(file); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the write finish
    return fs::exists(file) ? ReadFileBytes(file) : std::string();
}

// The "SigIgn:" mask a child wrote from /proc: bit 13 is SIGPIPE.
bool IgnoresSigpipe(const std::string& sigIgnLine) {
    const std::size_t colon = sigIgnLine.find(':');
    if (colon == std::string::npos)
        return true;  // no line at all counts as the fault: the test must see it
    const unsigned long long mask = std::stoull(sigIgnLine.substr(colon + 1), nullptr, 16);
    return (mask & (1ULL << (SIGPIPE - 1))) != 0;
}

class ChildProcess : public ::testing::Test {
  protected:
    ChildProcess() : cwd_(dir_.path()) {
        // As the updater does before its first connection.
        platform::StartSockets();
    }

    testing_support::TempDir dir_;
    testing_support::ScopedWorkingDir cwd_;
};

TEST_F(ChildProcess, ScriptAndMainApplicationStartWithDefaultSignals) {
    WriteFileBytes(dir_ / "Special.bat", "grep SigIgn /proc/$$/status > script.txt\n");
    platform::RunScriptHidden("Special.bat", dir_.path().string(), 10);
    EXPECT_FALSE(IgnoresSigpipe(ReadFileBytes(dir_ / "script.txt")));

    WriteFileBytes(dir_ / "Quillmere.exe", "#!/bin/sh\ngrep SigIgn /proc/$$/status > app.txt\n");
    fs::permissions(dir_ / "Quillmere.exe", fs::perms::owner_all);
    platform::StartProgramDetached("Quillmere.exe");
    EXPECT_FALSE(IgnoresSigpipe(AwaitFile(dir_ / "app.txt")));
}

TEST_F(ChildProcess, ScriptRunsInItsWorkingFolderAndLeavesOursAlone) {
    const std::string script = "pwd -P > where.txt\n";
    WriteFileBytes(dir_ / "root/Special.bat", script);
    WriteFileBytes(dir_ / "sub/root/Special.bat", script);
    platform::RunScriptHidden("Special.bat", (dir_ / "root").string(), 10);
    platform::RunScriptHidden("Special.bat", "sub\\root", 10);  // relative, "\\" as separator
    EXPECT_EQ(ReadFileBytes(dir_ / "root/where.txt"), fs::canonical(dir_ / "root").string() + "\n");
    EXPECT_EQ(ReadFileBytes(dir_ / "sub/root/where.txt"),
              fs::canonical(dir_ / "sub/root").string() + "\n");
    EXPECT_TRUE(fs::equivalent(fs::current_path(), dir_.path()));

    // A folder that cannot be entered runs nothing, not even in our folder.
    WriteFileBytes(dir_ / "Special.bat", script);
    platform::RunScriptHidden("Special.bat", (dir_ / "missing").string(), 10);
    EXPECT_FALSE(fs::exists(dir_ / "where.txt"));
}

TEST_F(ChildProcess, ScriptThatStaysInTheForegroundIsLeftRunningAfterTheLimit) {
    WriteFileBytes(dir_ / "Special.bat", "echo $$ > pid.txt\nexec sleep 30\n");
    const auto start = std::chrono::steady_clock::now();
    platform::RunScriptHidden("Special.bat", dir_.path().string(), 1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(10));

    const pid_t script = std::stoi(ReadFileBytes(dir_ / "pid.txt"));
    EXPECT_EQ(kill(script, 0), 0) << "the script should still run";
    kill(script, SIGKILL);
}

}  // namespace
