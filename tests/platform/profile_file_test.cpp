// The profile-file reader must answer like GetPrivateProfileStringA does for
// the files installations actually carry.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

using platform::ReadProfileStringFromText;

std::string Read(const std::string& text, const std::string& key = "Version",
                 std::size_t buffer = 1024) {
    return ReadProfileStringFromText(text, "Main", key, "default", buffer);
}

TEST(ProfileFileLookup, FindsKeyInSectionIgnoringCase) {
    EXPECT_EQ(Read("[Main]\nVersion=1.2.3\n"), "1.2.3");
    EXPECT_EQ(Read("[mAIN]\nvERSION=1.2.3\n"), "1.2.3");
    EXPECT_EQ(Read("[Other]\nVersion=9.9.9\n[Main]\nVersion=1.0.0\n"), "1.0.0");
}

TEST(ProfileFileLookup, MissingSectionOrKeyGivesDefault) {
    EXPECT_EQ(Read(""), "default");
    EXPECT_EQ(Read("[Other]\nVersion=1.2.3\n"), "default");
    EXPECT_EQ(Read("[Main]\nUpdateURL=x\n"), "default");
    EXPECT_EQ(Read("Version=1.2.3\n[Main]\n"), "default");  // before any section
    EXPECT_EQ(Read("[Main]\nVersion 1.2.3\n"), "default");  // no "="
}

TEST(ProfileFileLookup, FirstSectionAndFirstKeyWin) {
    EXPECT_EQ(Read("[Main]\nVersion=1\nVersion=2\n"), "1");
    EXPECT_EQ(Read("[Main]\nOther=1\n[Main]\nVersion=2\n"), "default");
}

TEST(ProfileFileLookup, EmptyValueIsAValue) {
    EXPECT_EQ(Read("[Main]\nVersion=\n"), "");
}

TEST(ProfileFileSyntax, TrimsBlanksAroundNamesAndValues) {
    EXPECT_EQ(Read("  [ Main ]  \n\t Version \t=\t 1.2.3 \t\n"), "1.2.3");
    EXPECT_EQ(Read("[Main]\nVersion = a b \n"), "a b");  // inner blanks stay
}

TEST(ProfileFileSyntax, MatchingQuotesAreRemoved) {
    EXPECT_EQ(Read("[Main]\nVersion=\"1.2.3\"\n"), "1.2.3");
    EXPECT_EQ(Read("[Main]\nVersion='1.2.3'\n"), "1.2.3");
    EXPECT_EQ(Read("[Main]\nVersion=\"1.2.3'\n"), "\"1.2.3'");
    EXPECT_EQ(Read("[Main]\nVersion=\"\n"), "\"");
}

TEST(ProfileFileSyntax, CommentsLineEndsAndByteOrderMark) {
    EXPECT_EQ(Read("; Version=9.9.9\n[Main]\n;Version=8\nVersion=1.2.3\n"), "1.2.3");
    EXPECT_EQ(Read("[Main]\r\nVersion=1.2.3\r\n"), "1.2.3");
    EXPECT_EQ(Read("\xEF\xBB\xBF[Main]\nVersion=1.2.3"), "1.2.3");
}

TEST(ProfileFileLimits, ValueIsCutToBufferSizeMinusOne) {
    const std::string longValue(5000, 'x');
    EXPECT_EQ(Read("[Main]\nVersion=" + longValue + "\n"), std::string(1023, 'x'));
    EXPECT_EQ(Read("[Main]\nVersion=abcdef\n", "Version", 4), "abc");
    EXPECT_EQ(ReadProfileStringFromText("", "Main", "Version", "abcdef", 4), "abc");
}

TEST(ProfileFileLimits, BinaryContentNeverCrashesAndStopsAtNul) {
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary.push_back(static_cast<char>(i * 37));
    EXPECT_EQ(Read(binary), "default");
    EXPECT_EQ(Read(std::string("[Main]\nVersion=1.2\0.3\n", 22)), "1.2");
}

TEST(ProfileFileOnDisk, ReadsFileAndFallsBackWhenMissingOrAFolder) {
    testing_support::TempDir dir;
    const auto file = dir / "config/version.cfg";
    testing_support::WriteFileBytes(file, "[Main]\nVersion=4.5.6\n");
    EXPECT_EQ(platform::ReadProfileString("Main", "Version", "d", 1024, file.string()), "4.5.6");
    EXPECT_EQ(
        platform::ReadProfileString("Main", "Version", "d", 1024, (dir / "missing.cfg").string()),
        "d");
    // A folder where the file should be cannot be read: the default applies.
    EXPECT_EQ(platform::ReadProfileString("Main", "Version", "d", 1024, (dir / "config").string()),
              "d");
}

}  // namespace
