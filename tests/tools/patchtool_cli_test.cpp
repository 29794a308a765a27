// The program as publishers and scripts run it: exit statuses, where messages
// go, and the three commands working together on real files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "inspect_output.h"
#include "tree_fixture.h"

namespace {

using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ShellQuoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class PatchToolProgram : public tools_test::TreeFixture {
  protected:
    ProgramRun Patchtool(const std::vector<std::string>& words) {
        std::string command = ShellQuoted(PATCHTOOL_PROGRAM);
        for (const std::string& word : words)
            command += " " + ShellQuoted(word);
        const std::string out = (dir_ / "stdout").string(), err = (dir_ / "stderr").string();
        command += " >" + ShellQuoted(out) + " 2>" + ShellQuoted(err) + " </dev/null";
        const int raw = std::system(command.c_str());
        ProgramRun run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadFileBytes(out);
        run.err = ReadFileBytes(err);
        return run;
    }
    std::string package() const { return (dir_ / "p.pkg").string(); }
    ProgramRun BuildPackage(const std::string& codec) {
        return Patchtool({"build", "--from", oldRoot().string(), "--to", newRoot().string(),
                          "--version", "1.0.1", "--codec", codec, "-o", package()});
    }
};

TEST_F(PatchToolProgram, BuildInspectVerifyWorkTogether) {
    const ProgramRun built = BuildPackage("lzo");
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_TRUE(built.out.empty());
    EXPECT_NE(built.err.find("warning: only in OLD"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(package() + ".updating"));

    const ProgramRun inspected = Patchtool({"inspect", "--json", package()});
    ASSERT_EQ(inspected.status, 0) << inspected.err;
    EXPECT_NE(inspected.out.find("\"codec\": \"lzo\""), std::string::npos);
    EXPECT_NE(
        inspected.out.find("{\"kind\": \"modify\", \"name\": \"bin/app.exe\", \"final_size\": "
                           "300000, \"data_length\": 43, \"records\": 4}"),
        std::string::npos);

    const ProgramRun verified = Patchtool({"verify", package(), "--version", "1.0.1", "--from",
                                           oldRoot().string(), "--to", newRoot().string()});
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_NE(verified.out.find("ok"), std::string::npos);
}

TEST_F(PatchToolProgram, VerifyRefusesWrongVersionAndDamage) {
    ASSERT_EQ(BuildPackage("bzip2").status, 0);
    const ProgramRun wrongVersion = Patchtool({"verify", package(), "--version", "1.0.2"});
    EXPECT_EQ(wrongVersion.status, 1);
    EXPECT_NE(wrongVersion.err.find("version 1.0.1, not 1.0.2"), std::string::npos);

    std::string bytes = ReadFileBytes(package());
    WriteFileBytes(package(), bytes.substr(0, bytes.size() - 20));
    const ProgramRun truncated = Patchtool({"verify", package(), "--version", "1.0.1"});
    EXPECT_EQ(truncated.status, 1);
    EXPECT_NE(truncated.err.find("does not unpack"), std::string::npos);

    WriteFileBytes(package(), "NOPE" + bytes.substr(4));
    const ProgramRun inspected = Patchtool({"inspect", package()});
    EXPECT_EQ(inspected.status, 1);
    EXPECT_NE(inspected.err.find("unknown magic"), std::string::npos);
}

TEST_F(PatchToolProgram, WrongCommandLinesExitWithUsageStatus) {
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"frobnicate"},
        {"build", "--from", "a", "--to", "b", "-o", "c"},
        {"build", "--from", "a", "--to", "b", "-o", "c", "--version", "1.256.0"},
        {"build", "--from", "a", "--to", "b", "-o", "c", "--version", "1.0.0", "--codec", "zip"},
        {"inspect"},
        {"inspect", "a", "b"},
        {"verify", "p.pkg", "--version", "1.0.0", "--from", "a"},
        {"record", "--version", "1.0.0", "--url", "http://localhost/"},
    };
    for (const auto& words : wrong) {
        const ProgramRun run = Patchtool(words);
        EXPECT_EQ(run.status, 2) << (words.empty() ? "" : words.front());
        EXPECT_TRUE(run.out.empty());
        EXPECT_NE(run.err.find("patchtool"), std::string::npos);
    }
}

TEST_F(PatchToolProgram, VersionIsTheProjectsOwn) {
    const ProgramRun run = Patchtool({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "patchtool " PROJECT_VERSION_TEXT "\n");
}

TEST_F(PatchToolProgram, HelpGoesToStandardOutput) {
    for (const char* command : {"build", "inspect", "verify", "record"}) {
        const ProgramRun run = Patchtool({command, "--help"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.rfind(std::string("Usage: patchtool ") + command, 0), 0u) << command;
        EXPECT_TRUE(run.err.empty());
    }
}

TEST_F(PatchToolProgram, UnreadableTreeFailsWithoutWritingAPackage) {
    const ProgramRun run = Patchtool({"build", "--from", (dir_ / "missing").string(), "--to",
                                      newRoot().string(), "--version", "1.0.1", "-o", package()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("missing"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(package()));
}

TEST_F(PatchToolProgram, OutputThatCannotBeReplacedFailsAndLeavesNothingBeside) {
    std::filesystem::create_directories(package());  // a folder where the file should go
    const ProgramRun run = BuildPackage("lzo");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot write the package"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(package()));
    EXPECT_FALSE(std::filesystem::exists(package() + ".updating"));
}

TEST_F(PatchToolProgram, RecordPrintsOneLine) {
    const ProgramRun run =
        Patchtool({"record", "--version", "1.2.3", "--url", "http://localhost/a.pkg", "--stop"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "1.2.3 http://localhost/a.pkg -r - -\n");
}

TEST(InspectJson, NamesStayValidJson) {
    EXPECT_EQ(JsonString("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000A\"");
    EXPECT_EQ(JsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"");  // UTF-8 passes
    EXPECT_EQ(JsonString("caf\xE9"), "\"caf\\u00E9\"");       // a lone byte does not
    EXPECT_EQ(JsonString("\xC0\xAF\xED\xA0\x80"), "\"\\u00C0\\u00AF\\u00ED\\u00A0\\u0080\"");
}

}  // namespace
