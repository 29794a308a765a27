// Faulty servers, played by the scripted loopback server: connections reset
// in the header or the body, a drip of single bytes, silence, bodies without
// end, absurd or duplicated or malformed headers, a header that never ends.
// Each must end the exchange, and a whole run, with its own code, and a run
// that ends in the download phase leaves the installation untouched.
//
// The faults that play out over time run against the exchange itself with
// its waits cut to a tenth (a drip every 0.35 s against 0.4 s waits stands
// for a drip every 3.5 s against the product's 4 s); the others run as whole
// updates with the product's own values.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "patch/build_codecs.h"
#include "patch/package_writer.h"
#include "published_update.h"
#include "support/loopback_server.h"
#include "support/under_wine.h"
#include "transfer/http_get.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"
#include "whole_run.h"

namespace reliability {
namespace {

using namespace std::chrono_literals;
using testing_support::LoopbackServer;
using testing_support::OkResponse;
using testing_support::ServerScript;

std::string HeaderWithLength(const std::string& length) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\n";
}

// ---------------------------------------------------------------------------
// The exchange, with waits a tenth of the product's.

class SlowServer : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearCancelRequest();
        limits_.connectTimeout = {1, 0};
        limits_.readinessWait = {0, 400000};
    }

    // The exchange's code; whether the package was whole is kept in whole_.
    ErrorCode Fetch(const LoopbackServer& server, platform::TimeVal budget) {
        const HttpResult result =
            HttpGet({server.Url("/p.pak"), BodyKind::kPackage, budget, limits_}, response_);
        whole_ = result.wholeAsAnnounced;
        return result.code;
    }

    // `bytes` one by one, each after a pause shorter than one wait.
    static ServerScript& Drip(ServerScript& script, const std::string& bytes) {
        for (const char byte : bytes)
            script.Pause(350ms).Send(std::string(1, byte));
        return script;
    }

    HttpLimits limits_;
    std::string response_;
    bool whole_ = false;
};

TEST_F(SlowServer, DripInTheBodyIsEndedByTheBudget) {
    ServerScript script;
    script.ReadRequest().Send(HeaderWithLength("100"));
    LoopbackServer server(Drip(script, std::string(20, 'x')));
    // Every wait ends with a byte, so none counts as silence; only the budget
    // (1 s here, 500 s for a real package) ends the exchange.
    EXPECT_EQ(Fetch(server, {1, 0}), kTimeBudgetSpent);
    EXPECT_GE(response_.size(), 2u);
    EXPECT_LE(response_.size(), 4u);
    EXPECT_FALSE(whole_);
}

TEST_F(SlowServer, DripInTheHeaderIsEndedByTheBudgetToo) {
    ServerScript script;
    script.ReadRequest().Send("HTTP/1.1 200 OK\r\nX-Slow: ");
    LoopbackServer server(Drip(script, std::string(20, 'x')));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch(server, {1, 0}), kTimeBudgetSpent);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    EXPECT_TRUE(response_.empty());
}

TEST_F(SlowServer, SilenceIsEndedByTheIdleLimit) {
    for (const std::string& sent : {std::string("HTTP/1.1 200 OK\r\nContent-"),
                                    HeaderWithLength("100") + std::string(10, 'x')}) {
        LoopbackServer server(ServerScript().ReadRequest().Send(sent).Pause(10s));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Fetch(server, {500, 0}), kSilenceLimit) << sent;
        // Five waits of 0.4 s, as five of 4 s end a real one after 20 s.
        EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
    }
}

TEST_F(SlowServer, EndlessPackageBodyEndsOncePastItsLength) {
    // The server sends far more than announced and then keeps the
    // connection open, as one that never stops would.
    LoopbackServer server(ServerScript()
                              .ReadRequest()
                              .Send(HeaderWithLength("1000") + std::string(4 << 20, 'x'))
                              .Pause(10s));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch(server, {500, 0}), kOk);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << "read on past the length";
    EXPECT_EQ(response_, std::string(1000, 'x'));
    EXPECT_FALSE(whole_) << "a longer body is no complete package";
}

// ---------------------------------------------------------------------------
// Whole runs: the patch list and the package come from the scripted server.

class FaultyServerRun : public ::testing::Test {
  protected:
    static constexpr PackedVersion kNew = PackVersion(1, 0, 1);

    // A run whose patch list names one package, which the scripted server
    // answers with `package`.
    RunRecord RunWithPackageAnswer(const ServerScript& package) {
        LoopbackServer packageServer(package);
        LoopbackServer listServer(ServerScript().ReadRequest().Send(
            OkResponse("1.0.1 " + packageServer.Url("/p101.pak") + " - - -\n")));
        return RunAgainst(listServer);
    }
    // A run whose patch list comes from `listServer`.
    RunRecord RunAgainst(LoopbackServer& server) {
        installation_ = {{"config/", ""},
                         {"config/version.cfg", "[Main]\r\nVersion=1.0.0\r\nUpdateURL=" +
                                                    server.Url("/list.cfg") + "\r\n"},
                         {"readme.txt", "version one\n"}};
        sandbox_ = std::make_unique<SandboxedRoot>(installation_);
        return RunWholeUpdate(sandbox_->root());
    }
    static std::string GoodPackage() {
        std::string package;
        EXPECT_TRUE(BuildPackage(testing_support::AnyCodec(), kNew,
                                 {EntrySource::Add("readme.txt", "version two\n")}, &package));
        return package;
    }
    void ExpectUntouched() const {
        EXPECT_EQ(ReadTree(sandbox_->root()), installation_);
        EXPECT_TRUE(sandbox_->OutsideUnchanged());
    }

    Tree installation_;
    std::unique_ptr<SandboxedRoot> sandbox_;
};

TEST_F(FaultyServerRun, EachBrokenAnswerEndsTheRunWithItsCode) {
    const std::string package = GoodPackage();
    const std::string length = std::to_string(package.size());
    struct Case {
        const char* fault;
        ServerScript answer;
        int code;
    };
    const Case cases[] = {
        {"reset during the header",
         ServerScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Le").Pause(50ms).Reset(),
         kReceiveFailed},
        {"reset during the body",
         ServerScript()
             .ReadRequest()
             .Send(HeaderWithLength(length) + package.substr(0, 20))
             .Pause(50ms)
             .Reset(),
         kReceiveFailed},
        {"a length of 4 GiB",
         ServerScript().ReadRequest().Send(HeaderWithLength("4294967296") + package),
         kPackageIncomplete},
        {"two lengths, the first one wrong",
         ServerScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n"
                                           "Content-Length: " +
                                           length + "\r\n\r\n" + package),
         kPackageIncomplete},
        {"a length that is no number",
         ServerScript().ReadRequest().Send(HeaderWithLength("many") + package), kPackageIncomplete},
        {"a negative length",
         ServerScript().ReadRequest().Send(HeaderWithLength("-" + length) + package),
         kPackageIncomplete},
        {"a status line without 200 OK",
         ServerScript().ReadRequest().Send("HTTP/1.1 200 Okay\r\nContent-Length: " + length +
                                           "\r\n\r\n" + package),
         kStatusNotAccepted},
        {"a header of binary noise",
         ServerScript().ReadRequest().Send(std::string("\x00\xff\x01 200\x7f OK\x80", 11) +
                                           "\r\n\r\n" + package),
         kStatusNotAccepted},
        {"a header without its empty line",
         ServerScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n"),
         kReceiveFailed},
        {"a header of bare line feeds",
         ServerScript().ReadRequest().Send("HTTP/1.1 200 OK\nContent-Length: " + length + "\n\n" +
                                           package.substr(0, 10)),
         kReceiveFailed},
    };
    const bool resetReadsAsClose = testing_support::UnderWine();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        if (resetReadsAsClose && std::string(c.fault) == "reset during the body")
            continue;
        const RunRecord run = RunWithPackageAnswer(c.answer);
        EXPECT_TRUE(run.EndedOnce());
        EXPECT_EQ(run.ErrorCode(), c.code);
        ExpectUntouched();
    }
    if (resetReadsAsClose)
        GTEST_SKIP() << "every answer but the reset during the body was checked: "
                     << testing_support::kWineReadsResetAsClose;
}

TEST_F(FaultyServerRun, TheFirstOfTwoLengthsCounts) {
    const std::string package = GoodPackage();
    const RunRecord run = RunWithPackageAnswer(ServerScript().ReadRequest().Send(
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(package.size()) +
        "\r\nContent-Length: 3\r\n\r\n" + package));
    EXPECT_TRUE(run.Succeeded());
    EXPECT_EQ(ReadTree(sandbox_->root()).at("readme.txt"), "version two\n");
}

TEST_F(FaultyServerRun, EndlessPatchListIsCappedOnEveryTry) {
    // No length bounds a patch list, so the cap does: each of the four tries
    // stops at 16 MiB instead of holding everything the server sends.
    const std::string endless = "HTTP/1.1 200 OK\r\n\r\n" + std::string(17 << 20, ' ');
    std::vector<ServerScript> tries(4, ServerScript().ReadRequest().Send(endless));
    LoopbackServer server(tries);
    const RunRecord run = RunAgainst(server);
    EXPECT_TRUE(run.EndedOnce());
    EXPECT_EQ(run.ErrorCode(), kResponseTooLarge);
    ExpectUntouched();
}

}  // namespace
}  // namespace reliability
