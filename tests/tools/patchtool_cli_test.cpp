// The program as publishers and scripts run it: exit statuses, where messages
// go, and the commands working together on real files.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <bcrypt.h>
#endif

#include <cstdlib>
#include <string>
#include <vector>

#include "inspect_output.h"
#include "patch/build_codecs.h"
#include "patch/package_writer.h"
#include "support/run_program.h"
#include "tree_fixture.h"
#include "trust/base64.h"
#include "trust/ed25519.h"

namespace {

using testing_support::AnyCodecName;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// What the program wrote to `file`, with its lines ending in a line feed:
// its messages are text, whose lines end in CRLF on Windows.
std::string TextOf(const std::string& file) {
    std::string text = ReadFileBytes(file);
#ifdef _WIN32
    std::size_t kept = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            text[kept++] = text[i];
    }
    text.resize(kept);
#endif
    return text;
}

class PatchToolProgram : public tools_test::TreeFixture {
  protected:
    ProgramRun Patchtool(const std::vector<std::string>& words) {
        const std::string out = (dir_ / "stdout").string(), err = (dir_ / "stderr").string();
        ProgramRun run;
        run.status = testing_support::RunProgram(PATCHTOOL_PROGRAM, words, out, err);
        run.out = TextOf(out);
        run.err = TextOf(err);
        return run;
    }
    std::string package() const { return (dir_ / "p.pkg").string(); }
    ProgramRun BuildPackage(const std::string& codec) {
        return Patchtool({"build", "--from", oldRoot().string(), "--to", newRoot().string(),
                          "--version", "1.0.1", "--codec", codec, "-o", package()});
    }
};

TEST_F(PatchToolProgram, BuildInspectVerifyWorkTogether) {
    const ProgramRun built = BuildPackage(AnyCodecName());
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_TRUE(built.out.empty());
    EXPECT_NE(built.err.find("warning: only in OLD"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(package() + ".updating"));

    const ProgramRun inspected = Patchtool({"inspect", "--json", package()});
    ASSERT_EQ(inspected.status, 0) << inspected.err;
    EXPECT_NE(inspected.out.find("\"codec\": \"" + std::string(AnyCodecName()) + "\""),
              std::string::npos);
    EXPECT_NE(
        inspected.out.find("{\"kind\": \"modify\", \"name\": \"bin/app.exe\", \"final_size\": "
                           "300000, \"data_length\": 43, \"records\": 4}"),
        std::string::npos);

    const ProgramRun verified = Patchtool({"verify", package(), "--version", "1.0.1", "--from",
                                           oldRoot().string(), "--to", newRoot().string()});
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_NE(verified.out.find("ok"), std::string::npos);
}

TEST_F(PatchToolProgram, ZstdBuildCarriesARebuiltProgramAsADeltaThatVerifies) {
    // A rebuilt program: a byte changed every 4 KiB, and code inserted that
    // moves everything after it, which diff records would carry whole.
    const std::string program = tools_test::RandomBytes(300000, 21);
    std::string rebuilt = program;
    for (std::size_t at = 0; at < rebuilt.size(); at += 4096)
        rebuilt[at] = static_cast<char>(rebuilt[at] + 1);
    rebuilt.insert(100000, tools_test::RandomBytes(3000, 22));
    WriteFileBytes(oldRoot() / "bin/tool.exe", program);
    WriteFileBytes(newRoot() / "bin/tool.exe", rebuilt);

    const ProgramRun built = BuildPackage("zstd");
    ASSERT_EQ(built.status, 0) << built.err;
    // The version file is a delta entry too: smaller than a modify entry
    // with the check entry it would need.
    EXPECT_NE(built.err.find(" 2 delta entries"), std::string::npos) << built.err;
    const ProgramRun inspected = Patchtool({"inspect", "--json", package()});
    ASSERT_EQ(inspected.status, 0) << inspected.err;
    EXPECT_NE(inspected.out.find("{\"kind\": \"delta\", \"name\": \"bin/tool.exe\", "
                                 "\"final_size\": 303000"),
              std::string::npos)
        << inspected.out;
    EXPECT_NE(inspected.out.find("\"old_size\": 300000}"), std::string::npos);
    const ProgramRun verified = Patchtool({"verify", package(), "--version", "1.0.1", "--from",
                                           oldRoot().string(), "--to", newRoot().string()});
    EXPECT_EQ(verified.status, 0) << verified.err << verified.out;
}

TEST_F(PatchToolProgram, ZstdBuildRemovesWhatOnlyOldHasAndGuardsWhatItOverwrites) {
    WriteFileBytes(oldRoot() / "plugins/legacy/deep/a.dat", "a");
    WriteFileBytes(oldRoot() / "plugins/legacy/b.dat", "b");
    WriteFileBytes(dir_ / "outside/target.txt", "not the package's");
#ifndef _WIN32
    std::filesystem::create_symlink(dir_ / "outside/target.txt",
                                    oldRoot() / "plugins/legacy/outside.txt");
#endif
    const ProgramRun built = BuildPackage("zstd");
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(built.err.find("only in OLD"), std::string::npos) << built.err;
    EXPECT_NE(built.err.find(" remove entries"), std::string::npos) << built.err;

    const ProgramRun inspected = Patchtool({"inspect", "--json", package()});
    ASSERT_EQ(inspected.status, 0) << inspected.err;
    for (const char* expected :
         {"{\"kind\": \"check\", \"name\": \"doc/readme.txt\"",
          "{\"kind\": \"remove\", \"name\": \"plugins/legacy\", \"final_size\": 0",
          "{\"kind\": \"remove\", \"name\": \"old-only.txt\", \"final_size\": 0, "
          "\"data_length\": 40, \"records\": 0, \"old_size\": 12, \"old_sha256\": "}) {
        EXPECT_NE(inspected.out.find(expected), std::string::npos) << expected << inspected.out;
    }
    // Removes first (deepest first), then each check right before the entry
    // it guards, the version file last.
    const std::size_t deep = inspected.out.find("\"plugins/legacy/deep\"");
    const std::size_t legacy = inspected.out.find("\"plugins/legacy\"");
    const std::size_t check =
        inspected.out.find("{\"kind\": \"check\", \"name\": \"doc/readme.txt\"");
    EXPECT_LT(deep, legacy);
    EXPECT_LT(legacy, check);
    const std::size_t next = inspected.out.find("{\"kind\"", check + 1);
    EXPECT_EQ(inspected.out.find("\"name\"", next),
              inspected.out.find("\"name\": \"doc/readme.txt\"", next));

    const ProgramRun verified = Patchtool({"verify", package(), "--version", "1.0.1", "--from",
                                           oldRoot().string(), "--to", newRoot().string()});
    EXPECT_EQ(verified.status, 0) << verified.err << verified.out;
    EXPECT_EQ(ReadFileBytes(dir_ / "outside/target.txt"), "not the package's");

    // The same package over another release is refused before it changes
    // anything.
    WriteFileBytes(oldRoot() / "doc/readme.txt", "edited by hand\n");
    const ProgramRun wrongBase = Patchtool({"verify", package(), "--version", "1.0.1", "--from",
                                            oldRoot().string(), "--to", newRoot().string()});
    EXPECT_EQ(wrongBase.status, 1);
    EXPECT_NE(wrongBase.err.find("refused the package"), std::string::npos) << wrongBase.err;
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
        {"record", "--version", "1.0.0", "--url", "http://localhost/a.pkg", "--package"},
        {"keygen"},
        {"keygen", "-o", "k", "extra"},
        {"sign", "list.cfg"},
        {"verify-list", "list.cfg"},
        {"verify-list", "list.cfg", "--public-key", "AAAA"},
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
    for (const char* command :
         {"build", "inspect", "verify", "record", "keygen", "sign", "verify-list", "publish"}) {
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
    const ProgramRun run = BuildPackage(AnyCodecName());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot write the package"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(package()));
    EXPECT_FALSE(std::filesystem::exists(package() + ".updating"));
}

// A build without LZO1X neither makes LZO1X packages nor calls one damaged.
TEST_F(PatchToolProgram, LzoPackagesAreMadeAndReadOnlyByABuildWithLzo) {
    std::string payload;
    ASSERT_TRUE(EncodePayload({EntrySource::Add("a.txt", "a")}, &payload));
    WriteFileBytes(package(), testing_support::HandPackedLzoPackage(PackVersion(1, 0, 1), payload));
    const ProgramRun inspected = Patchtool({"inspect", package()});
    const ProgramRun built = BuildPackage("lzo");
    if (testing_support::BuildHasLzo()) {
        EXPECT_EQ(inspected.status, 0) << inspected.err;
        EXPECT_EQ(built.status, 0) << built.err;
    } else {
        EXPECT_EQ(inspected.status, 1);
        EXPECT_NE(inspected.err.find("packed with lzo, which this build leaves out"),
                  std::string::npos)
            << inspected.err;
        EXPECT_EQ(built.status, 2);
        EXPECT_NE(built.err.find("--codec 'lzo' is neither bzip2 nor zstd"), std::string::npos)
            << built.err;
    }
}

TEST_F(PatchToolProgram, RecordPrintsOneLine) {
    const ProgramRun run =
        Patchtool({"record", "--version", "1.2.3", "--url", "http://localhost/a.pkg", "--stop"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "1.2.3 http://localhost/a.pkg -r - -\n");
}

// Two records whose URLs end in one name would share one file in the
// download folder (on Windows also when the names differ in case only).
TEST_F(PatchToolProgram, RecordRefusesToJoinAListThatNamesItsFileAlready) {
    const std::string list = (dir_ / "list.cfg").string();
    WriteFileBytes(list, "1.0.1 http://localhost/a/p.pkg - - -\n");
    const auto record = [&](const std::string& url) {
        return Patchtool({"record", "--version", "1.0.2", "--url", url, "--list", list});
    };
    const ProgramRun shared = record("http://localhost/b/P.PKG");
    EXPECT_EQ(shared.status, 1);
    EXPECT_NE(shared.err.find("record 1 of '" + list + "' names the package file P.PKG already"),
              std::string::npos)
        << shared.err;
    EXPECT_TRUE(shared.out.empty());
    const ProgramRun own = record("http://localhost/b/q.pkg");
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(own.out, "1.0.2 http://localhost/b/q.pkg - - -\n");
}

#ifdef _WIN32
// The SHA-256 of a file as the system's own provider computes it, in hex:
// Windows has no openssl program.
std::string ReferenceSha256(const std::string& file, const std::filesystem::path&) {
    const std::string bytes = ReadFileBytes(file);
    unsigned char digest[32] = {};
    BCRYPT_ALG_HANDLE sha256 = nullptr;
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0), 0);
    EXPECT_EQ(
        BCryptHash(sha256, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                   static_cast<ULONG>(bytes.size()), digest, sizeof digest),
        0);
    BCryptCloseAlgorithmProvider(sha256, 0);
    std::string hex;
    for (const unsigned char byte : digest) {
        constexpr char kDigits[] = "0123456789abcdef";
        hex += {kDigits[byte >> 4], kDigits[byte & 0x0F]};
    }
    return hex;
}
#else
std::string ShellQuoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The SHA-256 of a file as the openssl program computes it, in hex.
std::string ReferenceSha256(const std::string& file, const std::filesystem::path& scratch) {
    const std::string out = (scratch / "openssl-digest").string();
    const std::string command =
        "openssl dgst -sha256 -r " + ShellQuoted(file) + " >" + ShellQuoted(out);
    EXPECT_EQ(std::system(command.c_str()), 0);
    return ReadFileBytes(out).substr(0, 64);
}
#endif

// The private key in each text form it could leak in: the key file's base64
// line, and the 32 secret bytes in base64 and in hex.
std::vector<std::string> SecretForms(const std::string& pem) {
    const std::size_t begin = pem.find('\n') + 1;
    const std::string body = pem.substr(begin, pem.find('\n', begin) - begin);
    const std::string der = DecodeBase64(body).value_or("");
    EXPECT_EQ(der.size(), 48u) << "not the PKCS#8 form of an Ed25519 key";
    const std::string seed = der.substr(der.size() - std::min<std::size_t>(32, der.size()));
    std::string hex;
    for (const unsigned char byte : seed) {
        constexpr char kDigits[] = "0123456789abcdef";
        hex += {kDigits[byte >> 4], kDigits[byte & 0x0F]};
    }
    return {body, EncodeBase64(seed), hex};
}

TEST_F(PatchToolProgram, KeysSignaturesAndDigestsWorkTogether) {
    namespace fs = std::filesystem;
    const std::string key = (dir_ / "signing.key").string();
    const std::string list = (dir_ / "list.cfg").string();
    std::string printed;  // everything the program said, to look for the key in
    auto run = [&](const std::vector<std::string>& words) {
        ProgramRun result = Patchtool(words);
        printed += result.out + result.err;
        return result;
    };

    const ProgramRun made = run({"keygen", "-o", key});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string publicKey = made.out.substr(0, made.out.find('\n'));
    EXPECT_EQ(made.out, publicKey + "\n");
    const std::optional<Ed25519PublicKey> parsedKey = ParsePublicKeyText(publicKey);
    ASSERT_TRUE(parsedKey) << made.out;
    EXPECT_NE(made.err.find("-DUPDATER_TRUSTED_KEYS=" + publicKey), std::string::npos);
#ifndef _WIN32  // Windows keeps the key private by its access list, not by these bits
    EXPECT_EQ(fs::status(key).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    const std::string pem = ReadFileBytes(key);
    const auto signingKey = Ed25519SigningKey::FromPem(pem);
    ASSERT_TRUE(signingKey);
    EXPECT_EQ(signingKey->PublicKey(), *parsedKey);
    EXPECT_EQ(run({"keygen", "-o", key}).status, 1);  // a key in use is never replaced
    EXPECT_EQ(ReadFileBytes(key), pem);

    ASSERT_EQ(BuildPackage(AnyCodecName()).status, 0);
    const ProgramRun recorded = run({"record", "--version", "1.0.1", "--url",
                                     "http://127.0.0.1/p.pkg", "--package", package()});
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    EXPECT_EQ(recorded.out, "1.0.1 http://127.0.0.1/p.pkg - sha256=" +
                                ReferenceSha256(package(), dir_.path()) + " -\n");
    WriteFileBytes(list, recorded.out);
    const ProgramRun signing = run({"sign", list, "--key", key});
    ASSERT_EQ(signing.status, 0) << signing.err;
    EXPECT_EQ(signing.err.find("warning"), std::string::npos) << signing.err;
    const auto signature = ParseSignatureText(ReadFileBytes(list + ".sig"));
    ASSERT_TRUE(signature);
    EXPECT_TRUE(VerifyEd25519(*parsedKey, recorded.out, *signature));

    const std::string stranger = PublicKeyText(Ed25519SigningKey::Generate()->PublicKey());
    const std::string otherFolder = (dir_ / "old").string();  // holds no p.pkg
    const struct {
        std::vector<std::string> extraWords;
        int status;
    } checks[] = {
        {{"--public-key", publicKey}, 0},
        {{"--public-key", stranger + "," + publicKey}, 0},  // as during a rotation
        {{"--public-key", stranger}, 1},
        {{"--public-key", publicKey, "--packages", otherFolder}, 0},  // not at hand
    };
    for (const auto& check : checks) {
        std::vector<std::string> words = {"verify-list", list};
        words.insert(words.end(), check.extraWords.begin(), check.extraWords.end());
        const ProgramRun verified = run(words);
        EXPECT_EQ(verified.status, check.status) << verified.out << verified.err;
    }

    // A package changed after its record was made fails its check; so does a
    // record without a digest, which signing warns about.
    std::string bytes = ReadFileBytes(package());
    bytes[bytes.size() / 2] ^= 0x01;
    WriteFileBytes(package(), bytes);
    WriteFileBytes(list, recorded.out + "1.0.2 http://127.0.0.1/q.pkg - - -\n" +
                             "1.0.3 http://127.0.0.1/b/P.PKG - sha256=" + std::string(64, '0') +
                             " -\n");
    const ProgramRun resigned = run({"sign", list, "--key", key});
    EXPECT_EQ(resigned.status, 0);
    EXPECT_NE(resigned.err.find("warning: record 2 (1.0.2) has no sha256= digest"),
              std::string::npos);
    const ProgramRun damaged = run({"verify-list", list, "--public-key", publicKey});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.out.find(".sig: ok: signed by " + publicKey), std::string::npos);
    EXPECT_NE(damaged.out.find("record 1 (1.0.1 http://127.0.0.1/p.pkg): FAILED"),
              std::string::npos);
    EXPECT_NE(damaged.out.find("record 2 (1.0.2 http://127.0.0.1/q.pkg): FAILED"),
              std::string::npos);
    EXPECT_NE(damaged.out.find("record 3 (1.0.3 http://127.0.0.1/b/P.PKG): FAILED: its package "
                               "file P.PKG is record 1's too"),
              std::string::npos)
        << damaged.out;

    for (const std::string& secret : SecretForms(pem))
        EXPECT_EQ(printed.find(secret), std::string::npos) << "the private key was printed";
}

TEST(InspectJson, NamesStayValidJson) {
    EXPECT_EQ(JsonString("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000A\"");
    EXPECT_EQ(JsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"");  // UTF-8 passes
    EXPECT_EQ(JsonString("caf\xE9"), "\"caf\\u00E9\"");       // a lone byte does not
    EXPECT_EQ(JsonString("\xC0\xAF\xED\xA0\x80"), "\"\\u00C0\\u00AF\\u00ED\\u00A0\\u0080\"");
}

}  // namespace
