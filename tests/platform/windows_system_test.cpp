// What the Windows platform layer must get right that POSIX never asks of
// it: the system's root store, a refused connection that select reports only
// as an exception, and cmd's handling of folders with spaces and letters
// outside the ANSI code page. Runs on Windows or under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing_support::Utf8Path;

void WriteText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

bool AwaitFile(const fs::path& file) {
    for (int tries = 0; tries < 100 && !fs::exists(file); ++tries)
        std::this_thread::sleep_for(100ms);
    return fs::exists(file);
}

// True when `der` is one DER SEQUENCE whose length field covers exactly its
// bytes, as every certificate is: a cut, padded or misplaced copy fails.
bool IsWholeDerSequence(const std::string& der) {
    if (der.size() < 2 || static_cast<unsigned char>(der[0]) != 0x30)
        return false;
    std::size_t length = static_cast<unsigned char>(der[1]);
    std::size_t header = 2;
    if (length >= 0x80) {
        const std::size_t digits = length - 0x80;
        if (digits == 0 || digits > 4 || der.size() < header + digits)
            return false;
        length = 0;
        for (std::size_t i = 0; i < digits; ++i)
            length = length << 8 | static_cast<unsigned char>(der[header + i]);
        header += digits;
    }
    return header + length == der.size();
}

TEST(WindowsCertificates, RootStoreGivesWholeCertificates) {
    const std::vector<std::string> roots = platform::SystemRootCertificates();
    ASSERT_FALSE(roots.empty());
    for (const std::string& der : roots)
        EXPECT_TRUE(IsWholeDerSequence(der)) << der.size() << " bytes";
}

class WindowsSockets : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(platform::StartSockets()); }
    void TearDown() override { platform::StopSockets(); }
};

// The wide resolver and the address texts, as the connection race uses them.
TEST_F(WindowsSockets, ResolvesBothFamiliesAndWritesAddressesBack) {
    const platform::IpAddress loopback{false, {127, 0, 0, 1}};
    const std::vector<platform::IpAddress> found = platform::ResolveHost("localhost");
    EXPECT_NE(std::find(found.begin(), found.end(), loopback), found.end());
    EXPECT_EQ(platform::FormatIpAddress(loopback), "127.0.0.1");
    const std::optional<platform::IpAddress> v6 = platform::ParseIpv6("::1");
    ASSERT_TRUE(v6);
    EXPECT_EQ(platform::FormatIpAddress(*v6), "::1");
    EXPECT_FALSE(platform::ParseIpv6("127.0.0.1"));
}

// Windows reports a refused attempt in select's except set only; a write
// wait that missed it would sit out its whole limit and call it a timeout.
// Nothing listens on port 1 (tcpmux) of a test machine's loopback.
TEST_F(WindowsSockets, RefusedConnectionEndsTheWriteWaitWithAnError) {
    const platform::Socket socket = platform::CreateTcpSocket(false);
    ASSERT_NE(socket, platform::kInvalidSocket);
    ASSERT_TRUE(platform::SetNonBlocking(socket));
    const auto start = Clock::now();
    EXPECT_EQ(platform::StartConnect(socket, platform::IpAddress{false, {127, 0, 0, 1}}, 1),
              platform::ConnectStart::kInProgress);
    bool ready = false;
    EXPECT_EQ(platform::WaitForSocket(socket, platform::WaitFor::kWritable, {20, 0}, &ready), 1);
    EXPECT_TRUE(ready);
    EXPECT_NE(platform::SocketErrorStatus(socket), 0);
    // Windows retries a refused loopback connection for about two seconds.
    EXPECT_LT(Clock::now() - start, 10s);
    platform::CloseSocket(socket);
}

// Each case in a fresh folder of its own, its working directory.
class WindowsScripts : public ::testing::Test {
  protected:
    WindowsScripts()
        : base_(fs::temp_directory_path() /
                ("updater-windows-test-" + std::to_string(std::random_device{}()))),
          previous_(fs::current_path()) {
        fs::create_directories(base_);
        fs::current_path(base_);
    }
    ~WindowsScripts() override {
        std::error_code ignored;
        fs::current_path(previous_, ignored);
        // A script that just ended may hold its folder for a moment.
        for (int tries = 0; tries < 50; ++tries) {
            if (fs::remove_all(base_, ignored) != static_cast<std::uintmax_t>(-1))
                break;
            std::this_thread::sleep_for(100ms);
        }
    }

    const fs::path base_;
    const fs::path previous_;
};

TEST_F(WindowsScripts, ScriptRunsInAFolderWithSpacesAndAccentsAndLeavesOursAlone) {
    const std::u8string relative = u8"sub/Dossier \u00e9t\u00e9 1";
    const fs::path folder = base_ / fs::path(relative);
    WriteText(folder / "Special.bat", "@echo ran> ran.txt\r\n");
    WriteText(folder / "Second step.bat", "@echo ran> second.txt\r\n");
    // Relative to our folder, with "/"; then a script named by its full path.
    platform::RunScriptHidden("Special.bat", std::string(relative.begin(), relative.end()), 10);
    platform::RunScriptHidden(Utf8Path(folder / "Second step.bat"), Utf8Path(folder), 10);
    EXPECT_TRUE(fs::exists(folder / "ran.txt"));
    EXPECT_TRUE(fs::exists(folder / "second.txt"));
    EXPECT_TRUE(fs::equivalent(fs::current_path(), base_));

    // A folder that cannot be entered runs nothing, not even in ours.
    WriteText(base_ / "Special.bat", "@echo ran> ran.txt\r\n");
    platform::RunScriptHidden("Special.bat", "missing", 10);
    EXPECT_FALSE(fs::exists(base_ / "ran.txt"));
}

TEST_F(WindowsScripts, ScriptStillRunningAtTheLimitIsLeftRunning) {
    // ping waits a second between its echoes: cmd has no plain sleep, and
    // timeout.exe refuses to run without a console for its input.
    WriteText(base_ / "Special.bat", "@ping -n 4 127.0.0.1\r\n@echo done> done.txt\r\n");
    const auto start = Clock::now();
    platform::RunScriptHidden("Special.bat", "", 1);
    EXPECT_GE(Clock::now() - start, 900ms);
    EXPECT_FALSE(fs::exists(base_ / "done.txt")) << "returned only when the script ended";
    EXPECT_TRUE(AwaitFile(base_ / "done.txt")) << "the script was ended, not left running";
}

}  // namespace
