// An attacker between the updater and its server: a man in the middle on
// 127.0.0.1 in front of nginx changes what the updater receives. Whatever he
// does, a run with a signed list and digests must end with the code that
// names the refusal, with the installation as it was and nothing beside it
// touched.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/patch_list.h"
#include "engine/update_worker.h"
#include "patch/package_writer.h"
#include "published_update.h"
#include "support/installation_files.h"
#include "support/tampering_proxy.h"
#include "support/test_certificates.h"
#include "trust/ed25519.h"
#include "trust/sha256.h"
#include "vocabulary/error_codes.h"
#include "whole_run.h"

namespace reliability {
namespace {

namespace fs = std::filesystem;
using testing_support::AnswerWith;
using testing_support::BodyOf;
using testing_support::FlipBodyBit;
using testing_support::NginxServer;
using testing_support::TamperingProxy;
using testing_support::WriteFileBytes;

const Ed25519SigningKey& PublisherKey() {
    static const Ed25519SigningKey key = Ed25519SigningKey::Generate().value();
    return key;
}

std::string Package(PackedVersion version, const std::vector<EntrySource>& entries) {
    std::string package;
    EXPECT_TRUE(BuildPackage(PackageCodec::kBzip2, version, entries, &package));
    return package;
}

std::string Record(const std::string& version, const std::string& url, const std::string& package) {
    return version + " " + url + " - " + FormatDigestField(Sha256Of(package)) + " -\n";
}

// Two signed releases on nginx, reached through the man in the middle, who
// hands every answer to the test's tampering (none by default).
class Attack : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(nginx_.running()) << nginx_.error();
        const std::string listUrl = proxy_.Url("/list.cfg");
        installation_ = {{"config/", ""},
                         {"config/version.cfg", testing_support::VersionFile("1.0.0", listUrl)},
                         {"readme.txt", "version one\n"}};
        first_ = Package(PackVersion(1, 0, 1), {EntrySource::Add("readme.txt", "version two\n")});
        second_ = Package(PackVersion(1, 1, 0),
                          {EntrySource::Add("config/version.cfg",
                                            testing_support::VersionFile("1.1.0", listUrl))});
        WriteFileBytes(www_ / "p101.pak", first_);
        WriteFileBytes(www_ / "p110.pak", second_);
        Publish("list.cfg", Record("1.0.1", proxy_.Url("/p101.pak"), first_) +
                                Record("1.1.0", proxy_.Url("/p110.pak"), second_));
        // What an attacker may have kept from an earlier, validly signed
        // release: a list that announces nothing newer than what is installed.
        Publish("old-list.cfg", Record("1.0.0", proxy_.Url("/p100.pak"), "an old package"));
    }

    void Publish(const std::string& name, const std::string& list) {
        WriteFileBytes(www_ / name, list);
        WriteFileBytes(www_ / (name + ".sig"), SignatureText(PublisherKey().Sign(list)) + "\n");
    }

    // One run through the man in the middle; checks that it ended once, with
    // `code`, changed nothing, and kept no tampered package under its name
    // (`tampered`: the package's file name; empty when the list itself was
    // tampered with, and nothing may have been downloaded at all).
    void ExpectRefused(int code, const std::string& tampered = "") {
        SandboxedRoot sandbox(installation_);
        const RunRecord run = RunWholeUpdate(sandbox.root(), settings_);
        EXPECT_TRUE(run.EndedOnce());
        EXPECT_EQ(run.ErrorCode(), code);
        EXPECT_EQ(ReadTree(sandbox.root()), installation_);
        EXPECT_TRUE(sandbox.OutsideUnchanged());
        EXPECT_FALSE(fs::exists(sandbox.root() / "download" / tampered)) << tampered;
    }

    testing_support::TempDir dir_;
    fs::path www_ = dir_ / "www";
    NginxServer nginx_{(fs::create_directories(www_), www_)};
    testing_support::Tampering tamper_ = [](const std::string&, std::string answer) {
        return answer;
    };
    TamperingProxy proxy_{nginx_, [this](const std::string& path, std::string answer) {
                              return tamper_(path, std::move(answer));
                          }};
    UpdateSettings settings_{.trustedKeys = {PublisherKey().PublicKey()}};
    Tree installation_;
    std::string first_, second_;
};

TEST_F(Attack, UntouchedReleaseIsApplied) {
    SandboxedRoot sandbox(installation_);
    EXPECT_TRUE(RunWholeUpdate(sandbox.root(), settings_).Succeeded());
    EXPECT_EQ(testing_support::ReadFileBytes(sandbox.root() / "readme.txt"), "version two\n");
}

TEST_F(Attack, OneChangedByteAnywhereIsRefused) {
    const struct {
        const char* path;
        std::size_t offset;
        ErrorCode code;
        const char* tampered;
    } cases[] = {
        {"/list.cfg", 2, kListNotTrusted, ""},           // a record's version
        {"/list.cfg.sig", 10, kListNotTrusted, ""},      // the signature
        {"/p101.pak", 40, kDigestMismatch, "p101.pak"},  // the first package's payload
        {"/p110.pak", 5, kDigestMismatch, "p110.pak"},   // the second package's header
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        tamper_ = [&c](const std::string& path, std::string answer) {
            return path == c.path ? FlipBodyBit(std::move(answer), c.offset) : answer;
        };
        ExpectRefused(c.code, c.tampered);
    }
}

TEST_F(Attack, ValidPackageUnderAnotherRecordsUrlIsRefused) {
    tamper_ = [this](const std::string& path, std::string answer) {
        return path == "/p110.pak" ? AnswerWith(first_) : answer;
    };
    ExpectRefused(kDigestMismatch, "p110.pak");
}

TEST_F(Attack, OlderValidlySignedListLeavesTheInstallationUpToDate) {
    const std::string oldList = testing_support::ReadFileBytes(www_ / "old-list.cfg");
    const std::string oldSignature = testing_support::ReadFileBytes(www_ / "old-list.cfg.sig");
    tamper_ = [&](const std::string& path, std::string answer) {
        if (path == "/list.cfg")
            return AnswerWith(oldList);
        return path == "/list.cfg.sig" ? AnswerWith(oldSignature) : answer;
    };
    ExpectRefused(kNothingNewer);
}

TEST_F(Attack, HugeSignatureIsBoundedAndRefused) {
    tamper_ = [](const std::string& path, std::string answer) {
        return path == "/list.cfg.sig" ? AnswerWith(std::string(16 << 20, 'A')) : answer;
    };
    ExpectRefused(kListNotTrusted);
}

// The man in the middle answers the HTTPS connection himself, with whatever
// certificate he has, or offers only an outdated protocol: the updater must
// not get as far as the list.
TEST(AttackOnHttps, ServerThatIsNotTheRealOneIsRefused) {
    using testing_support::ServerCertificate;
    const testing_support::TestCertificates& certificates =
        testing_support::TrustedTestCertificates();
    const struct {
        const char* name;
        ServerCertificate certificate;
        const char* protocols;
        ErrorCode code;
    } cases[] = {
        {"another host's certificate", ServerCertificate::kOtherHost, "", kCertificateRejected},
        {"a self-signed certificate", ServerCertificate::kSelfSigned, "", kCertificateRejected},
        {"an expired certificate", ServerCertificate::kExpired, "", kCertificateRejected},
        {"only TLS 1.0", ServerCertificate::kLoopback, "TLSv1", kTlsHandshakeFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::TempDir www;
        testing_support::NginxOptions options;
        options.tls = testing_support::NginxTls{certificates.Server(c.certificate), c.protocols};
        NginxServer nginx(www.path(), options);
        ASSERT_TRUE(nginx.running()) << nginx.error();
        const std::string listUrl = nginx.Url("/list.cfg");  // https, as the server speaks
        WriteFileBytes(www / "list.cfg", "1.0.1 " + nginx.Url("/p.pak") + " - - -\n");
        WriteFileBytes(www / "p.pak", "anything");
        const Tree installation = {
            {"config/", ""},
            {"config/version.cfg", testing_support::VersionFile("1.0.0", listUrl)}};
        SandboxedRoot sandbox(installation);
        const RunRecord run = RunWholeUpdate(sandbox.root());
        EXPECT_EQ(run.ErrorCode(), c.code);
        EXPECT_EQ(ReadTree(sandbox.root()), installation);
        EXPECT_TRUE(sandbox.OutsideUnchanged());
    }
}

}  // namespace
}  // namespace reliability
