#include "engine/version_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteFileBytes;

class InstalledVersion : public ::testing::Test {
  protected:
    PackedVersion ReadWith(const std::string& fileContent) {
        WriteFileBytes(dir_ / "config/version.cfg", fileContent);
        return ReadInstalledVersion(Root());
    }
    std::string Root() const { return dir_.path().string(); }
    TempDir dir_;
};

TEST_F(InstalledVersion, MissingOrEmptyFileMeansNoVersion) {
    EXPECT_EQ(ReadInstalledVersion(Root()), 0u);
    EXPECT_EQ(ReadWith(""), 0u);
    EXPECT_EQ(ReadWith("[Main]\nVersion=0.0.0\n"), 0u);
}

TEST_F(InstalledVersion, PacksThreeNumbers) {
    EXPECT_EQ(ReadWith("[Main]\nVersion=1.2.3\n"), 0x01020003u);
    EXPECT_EQ(ReadWith("[Main]\nVersion=1.2.3.4\n"), 0x01020003u);
    EXPECT_EQ(ReadWith("[Main]\nVersion=1.2.3beta\n"), 0x01020003u);
}

TEST_F(InstalledVersion, TextWithoutThreeNumbersMeansNoVersion) {
    EXPECT_EQ(ReadWith("[Main]\nVersion=1.2\n"), 0u);
    EXPECT_EQ(ReadWith("[Main]\nVersion=v1.2.3\n"), 0u);
    EXPECT_EQ(ReadWith("[Main]\nVersion=1..3\n"), 0u);
    EXPECT_EQ(ReadWith("[Main]\nVersion=1.+.3\n"), 0u);
}

// The publisher's tool reads release trees' version files as text; it must
// find the version an installation of that tree would report.
TEST_F(InstalledVersion, TextReadingGivesWhatTheFileGives) {
    for (const std::string& text :
         std::vector<std::string>{"[Main]\r\nVersion=1.2.3\r\n", "[main]\nversion = 2.0.7 \n",
                                  "[Other]\nVersion=1.2.3\n", "[Main]\nVersion=1.2\n",
                                  "; [Main]\n[Main]\nVersion=4.5.6beta\nVersion=7.8.9\n",
                                  "[Main]\nVersion=" + std::string(2000, '1') + ".2.3\n"}) {
        const PackedVersion fromFile = ReadWith(text);
        EXPECT_EQ(VersionInText(text).value_or(0), fromFile) << text;
    }
    EXPECT_EQ(VersionInText("[Main]\nVersion=0.0.1\n"), PackVersion(0, 0, 1));
    EXPECT_EQ(VersionInText(""), std::nullopt);
}

TEST_F(InstalledVersion, BinaryOrOversizedFileNeverCrashes) {
    std::string binary(70000, '\0');
    for (std::size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i * 131 + 7);
    EXPECT_EQ(ReadWith(binary), 0u);
    // The value is cut after 1023 bytes: the third number stands behind the cut.
    EXPECT_EQ(ReadWith("[Main]\nVersion=1.2." + std::string(1019, ' ') + "3\n"), 0u);
    EXPECT_EQ(ReadWith("[Main]\nVersion=1.2." + std::string(1018, ' ') + "3\n"), 0x01020003u);
}

TEST_F(InstalledVersion, FolderInPlaceOfTheFileGivesDefaults) {
    std::filesystem::create_directories(dir_ / "config/version.cfg");
    EXPECT_EQ(ReadInstalledVersion(Root()), 0u);
    EXPECT_EQ(ReadVersionSetting(Root(), "UpdateURL", kDefaultPatchListUrl), kDefaultPatchListUrl);
}

TEST_F(InstalledVersion, UpdateUrlAndItsDefault) {
    ReadWith("[Main]\nVersion=1.0.0\n");
    EXPECT_EQ(ReadVersionSetting(Root(), "UpdateURL", "fallback"), "fallback");
    ReadWith("[Main]\nVersion=1.0.0\nUpdateURL=http://127.0.0.1:8080/list.cfg\n");
    EXPECT_EQ(ReadVersionSetting(Root(), "UpdateURL", "fallback"),
              "http://127.0.0.1:8080/list.cfg");
    const std::string longUrl = "http://127.0.0.1/" + std::string(2000, 'a');
    ReadWith("[Main]\nUpdateURL=" + longUrl + "\n");
    EXPECT_EQ(ReadVersionSetting(Root(), "UpdateURL", ""), longUrl.substr(0, 1023));
}

TEST(DefaultPatchListUrl, StaysOnThisMachine) {
    const std::string url = kDefaultPatchListUrl;
    EXPECT_TRUE(url.rfind("http://127.", 0) == 0 || url.rfind("http://localhost", 0) == 0) << url;
    EXPECT_EQ(url.substr(url.size() - 14), "/patchlist.cfg");
}

}  // namespace
