// Where the update-needed flag lives on Linux and when the updater writes it.
#include "shell/update_flag.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

// The settings layer fixes its folders at first use, so the whole process
// gets one home of its own before any test runs.
class SettingsHome : public ::testing::Environment {
  public:
    void SetUp() override {
        home_ = std::make_unique<testing_support::TempDir>();
        setenv("HOME", home_->path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (*home_ / "config").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (*home_ / "system").c_str(), 1);
    }
    void TearDown() override { home_.reset(); }

  private:
    std::unique_ptr<testing_support::TempDir> home_;
};
::testing::Environment* const kSettingsHome = ::testing::AddGlobalTestEnvironment(new SettingsHome);

class UpdateFlag : public ::testing::Test {
  protected:
    UpdateFlag() {
        fs::remove(UserFile());
        fs::remove(SystemFile());
    }

    static fs::path UserFile() {
        return fs::path(std::getenv("XDG_CONFIG_HOME")) / "Software.conf";
    }
    static fs::path SystemFile() {
        return fs::path(std::getenv("XDG_CONFIG_DIRS")) / "Software.conf";
    }
    static QString UserValue(const char* key) {
        const QSettings settings(QString::fromStdString(UserFile().string()), QSettings::IniFormat);
        return settings.value(QString::fromUtf8(key), QStringLiteral("<absent>")).toString();
    }
};

TEST_F(UpdateFlag, LivesInTheSoftwareFileOfTheUsersConfigFolder) {
    EXPECT_EQ(fs::path(OpenUserSoftwareSettings()->fileName().toStdString()), UserFile());
}

TEST_F(UpdateFlag, AnExistingFlagBecomesFalseAndEverythingElseStays) {
    WriteFileBytes(UserFile(),
                   "[kelvosession]\nbNeedUpdate=true\nlastRun=42\n\n[other]\nkeep=yes\n");
    ClearUpdateNeededFlag();
    EXPECT_EQ(UserValue("kelvosession/bNeedUpdate"), "false");
    EXPECT_EQ(UserValue("kelvosession/lastRun"), "42");
    EXPECT_EQ(UserValue("other/keep"), "yes");
}

TEST_F(UpdateFlag, AMissingFlagIsNotCreated) {
    ClearUpdateNeededFlag();
    EXPECT_FALSE(fs::exists(UserFile()));

    const std::string withoutFlag = "[kelvosession]\nlastRun=42\n";
    WriteFileBytes(UserFile(), withoutFlag);
    ClearUpdateNeededFlag();
    EXPECT_EQ(ReadFileBytes(UserFile()), withoutFlag);
}

TEST_F(UpdateFlag, ASystemWideFlagIsNotTheUsers) {
    const std::string systemWide = "[kelvosession]\nbNeedUpdate=true\n";
    WriteFileBytes(SystemFile(), systemWide);
    ClearUpdateNeededFlag();
    EXPECT_FALSE(fs::exists(UserFile()));
    EXPECT_EQ(ReadFileBytes(SystemFile()), systemWide);
}

}  // namespace
