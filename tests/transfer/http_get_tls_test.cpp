// HTTPS: against nginx with certificates made for the test, and against the
// scripted TLS peer for what nginx cannot be made to do.
#include <gtest/gtest.h>

#include "reported_words.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "support/installation_files.h"
#include "support/loopback_server.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/test_certificates.h"
#include "transfer/http_get.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"

namespace {

using namespace std::chrono_literals;
using testing_support::LoopbackServer;
using testing_support::NginxOptions;
using testing_support::NginxServer;
using testing_support::NginxTls;
using testing_support::ServerCertificate;
using testing_support::ServerScript;

NginxOptions Https(ServerCertificate which, const std::string& protocols = "",
                   const std::string& rate = "") {
    return {NginxTls{testing_support::TrustedTestCertificates().Server(which), protocols}, rate};
}

// One served folder for the whole suite: a package, and a folder with an
// index page.
class HttpsTest : public ::testing::Test, protected transfer_test::ReportedWords {
  protected:
    static void SetUpTestSuite() {
        testing_support::TrustedTestCertificates();
        root_ = new testing_support::TempDir();
        package_ = testing_support::RandomBytes(3 * 1024 * 1024 + 17, 4321);
        testing_support::WriteFileBytes(*root_ / "p.bin", package_);
        testing_support::WriteFileBytes(*root_ / "dir/index.html", "in the folder\n");
    }
    static void TearDownTestSuite() { delete root_; }

    void SetUp() override {
        ClearCancelRequest();
        ClearReported();
        limits_.readinessWait = {0, 200000};
    }
    void TearDown() override { ClearCancelRequest(); }

    ErrorCode Fetch(const std::string& url, BodyKind kind = BodyKind::kPackage) {
        return Fetch(url, kind, Record());
    }
    ErrorCode Fetch(const std::string& url, BodyKind kind, StatusCallback callback) {
        const HttpRequest request{url, kind, {30, 0}, limits_, callback};
        const HttpResult result = HttpGet(request, response_);
        whole_ = result.wholeAsAnnounced;
        return result.code;
    }

    static testing_support::TempDir* root_;
    static std::string package_;
    HttpLimits limits_;
    std::string response_;
    bool whole_ = false;
};

testing_support::TempDir* HttpsTest::root_ = nullptr;
std::string HttpsTest::package_;

TEST_F(HttpsTest, FetchesAPackageByteForByteWithItsPercentages) {
    NginxServer nginx(root_->path(), Https(ServerCertificate::kLoopback));
    ASSERT_TRUE(nginx.running()) << nginx.error();
    // By address (checked against the certificate's IP entry) and by name
    // (sent as SNI, checked against its DNS entry).
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        ClearReported();
        std::size_t observed = 0;
        HttpRequest request{
            nginx.UrlOn(host, "/p.bin"), BodyKind::kPackage, {30, 0}, limits_, Record()};
        request.observeBody = [&observed](const char*, std::size_t size) { observed += size; };
        const HttpResult result = HttpGet(request, response_);
        EXPECT_EQ(result.code, kOk) << host;
        EXPECT_TRUE(result.wholeAsAnnounced);
        EXPECT_TRUE(response_ == package_) << host << ": got " << response_.size() << " bytes";
        EXPECT_EQ(observed, package_.size());
        ASSERT_GE(Reported().size(), 40u);
        EXPECT_TRUE(std::is_sorted(Reported().begin(), Reported().end()));
        EXPECT_EQ(Reported().back(), PercentageWord(100));
    }
    // nginx answers a folder without its "/" with a redirect, under TLS too.
    EXPECT_EQ(Fetch(nginx.Url("/dir"), BodyKind::kPatchList), kOk);
    EXPECT_EQ(response_, "in the folder\n");
}

TEST_F(HttpsTest, EveryCertificateFaultIsRejected) {
    const struct {
        ServerCertificate certificate;
        const char* host;
    } cases[] = {
        {ServerCertificate::kOtherHost, "127.0.0.1"}, {ServerCertificate::kOtherHost, "localhost"},
        {ServerCertificate::kExpired, "127.0.0.1"},   {ServerCertificate::kSelfSigned, "localhost"},
        {ServerCertificate::kUnknownCa, "127.0.0.1"},
    };
    for (const auto& c : cases) {
        NginxServer nginx(root_->path(), Https(c.certificate));
        ASSERT_TRUE(nginx.running()) << nginx.error();
        EXPECT_EQ(Fetch(nginx.UrlOn(c.host, "/p.bin")), kCertificateRejected)
            << static_cast<int>(c.certificate) << " " << c.host;
        EXPECT_TRUE(response_.empty());
    }
}

TEST_F(HttpsTest, OutdatedOrPlainServersFailTheHandshake) {
    NginxServer outdated(root_->path(), Https(ServerCertificate::kLoopback, "TLSv1"));
    ASSERT_TRUE(outdated.running()) << outdated.error();
    EXPECT_EQ(Fetch(outdated.Url("/p.bin")), kTlsHandshakeFailed);
    // A plain server at an https URL: never a plain request in its place.
    NginxServer plain(root_->path());
    ASSERT_TRUE(plain.running()) << plain.error();
    const std::string url = "https://127.0.0.1:" + std::to_string(plain.port()) + "/p.bin";
    EXPECT_EQ(Fetch(url), kTlsHandshakeFailed);
    EXPECT_TRUE(response_.empty());
}

TEST_F(HttpsTest, CancelAndTheSilenceLimitHoldInATlsBody) {
    // nginx sends 256 KiB at once each second, then stays silent.
    NginxServer slow(root_->path(), Https(ServerCertificate::kLoopback, "", "256k"));
    ASSERT_TRUE(slow.running()) << slow.error();
    EXPECT_EQ(Fetch(slow.Url("/p.bin"), BodyKind::kPackage, CancelOnReport()), kCancelled);
    EXPECT_GT(response_.size(), 0u);
    EXPECT_LT(response_.size(), package_.size());

    ClearCancelRequest();
    limits_.readinessWait = {0, 100000};
    limits_.idleWaitLimit = 3;
    EXPECT_EQ(Fetch(slow.Url("/p.bin")), kSilenceLimit);
    EXPECT_GT(response_.size(), 0u);
    EXPECT_LT(response_.size(), package_.size());
}

// The scripted TLS peer.
class ScriptedTlsTest : public HttpsTest {
  protected:
    static LoopbackServer Serve(std::vector<ServerScript> scripts) {
        return LoopbackServer(std::move(scripts), testing_support::TrustedTestCertificates().Server(
                                                      ServerCertificate::kLoopback));
    }
};

TEST_F(ScriptedTlsTest, CloseWithoutNotifyEndsOnlyABodyOfKnownLength) {
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    const struct {
        std::string answer;
        bool notify;
        BodyKind kind;
        ErrorCode code;
        bool whole;
    } cases[] = {
        {header + "hello", false, BodyKind::kPackage, kOk, true},
        {header + "hello", false, BodyKind::kPatchList, kOk, true},
        {header + "hel", false, BodyKind::kPackage, kOk, false},
        {header + "hel", false, BodyKind::kPatchList, kReceiveFailed, false},
        {"HTTP/1.1 200 OK\r\n\r\nhello", false, BodyKind::kPatchList, kReceiveFailed, false},
        {"HTTP/1.1 200 OK\r\n\r\nhello", true, BodyKind::kPatchList, kOk, false},
    };
    for (const auto& c : cases) {
        ServerScript script = ServerScript{}.ReadRequest().Send(c.answer);
        LoopbackServer server = Serve({c.notify ? script.Close() : script.CloseWithoutNotify()});
        EXPECT_EQ(Fetch(server.Url("/"), c.kind), c.code) << c.answer << " " << c.notify;
        EXPECT_EQ(whole_, c.whole) << c.answer;
    }
}

TEST_F(ScriptedTlsTest, BytesAlreadyDecryptedAreTakenBeforeAnyWait) {
    // One record holds the whole answer and more; the socket then stays
    // quiet. Waiting on it for the rest of the header would wait for bytes
    // that are already here until the silence limit.
    LoopbackServer server = Serve({ServerScript{}
                                       .ReadRequest()
                                       .Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello!")
                                       .Pause(5s)});
    EXPECT_EQ(Fetch(server.Url("/")), kOk);
    EXPECT_EQ(response_, "hello");
}

TEST_F(ScriptedTlsTest, RedirectsNeverLeaveTls) {
    const std::string nowhere =
        "http://127.0.0.1:" + std::to_string(testing_support::UnusedLoopbackPort()) + "/p.bin";
    LoopbackServer server = Serve({ServerScript{}.ReadRequest().Send(
        "HTTP/1.1 302 Found\r\nLocation: " + nowhere + "\r\n\r\n")});
    EXPECT_EQ(Fetch(server.Url("/p.bin")), kRedirectRefused);
}

TEST_F(ScriptedTlsTest, SilenceInTheHandshakeIsLimited) {
    // A plain peer that accepts the connection and never answers the hello.
    LoopbackServer silent(ServerScript{}.Pause(5s));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch("https://127.0.0.1:" + std::to_string(silent.port()) + "/"), kSilenceLimit);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

}  // namespace
