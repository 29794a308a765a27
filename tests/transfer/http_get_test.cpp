#include "transfer/http_get.h"
#include "vocabulary/cancel_request.h"

#include <gtest/gtest.h>

#include "reported_words.h"

#include <chrono>
#include <vector>

#include "support/loopback_server.h"
#include "support/under_wine.h"
#include "transfer/progress_report.h"
#include "vocabulary/error_codes.h"

namespace {

using namespace std::chrono_literals;
using testing_support::LoopbackServer;
using testing_support::OkResponse;
using testing_support::ServerScript;

std::string Body(std::size_t size) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>('a' + i % 26);
    return body;
}

std::string HeaderFor(std::size_t announcedLength) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(announcedLength) + "\r\n\r\n";
}

ServerScript Answer(const std::string& response) {
    return ServerScript{}.ReadRequest().Send(response).Close();
}

ServerScript RedirectTo(const std::string& location, int status = 302) {
    return Answer("HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: " + location +
                  "\r\nContent-Length: 0\r\n\r\n");
}

// A body sent in `pieces` equal parts with `pause` between them.
ServerScript Trickle(std::size_t pieces, std::size_t pieceSize, std::chrono::milliseconds pause) {
    ServerScript script = ServerScript{}.ReadRequest().Send(HeaderFor(pieces * pieceSize));
    for (std::size_t i = 0; i < pieces; ++i) {
        if (i > 0)
            script.Pause(pause);
        script.Send(Body(pieceSize));
    }
    return script.Close();
}

class HttpGetTest : public ::testing::Test, protected transfer_test::ReportedWords {
  protected:
    void SetUp() override {
        ClearCancelRequest();
        ClearReported();
        limits_.connectTimeout = {0, 500000};
        limits_.readinessWait = {0, 100000};
    }
    void TearDown() override { ClearCancelRequest(); }

    // The exchange's code; whether the body was whole as announced is kept
    // in whole_.
    ErrorCode Fetch(const std::string& url, bool isPackage) {
        return Fetch(url, isPackage, Record());
    }
    ErrorCode Fetch(const std::string& url, bool isPackage, StatusCallback callback,
                    platform::TimeVal budget = {10, 0}) {
        const HttpRequest request{url, isPackage ? BodyKind::kPackage : BodyKind::kPatchList,
                                  budget, limits_, callback};
        const HttpResult result = HttpGet(request, response_);
        whole_ = result.wholeAsAnnounced;
        return result.code;
    }

    HttpLimits limits_;
    std::string response_;
    bool whole_ = false;
};

TEST_F(HttpGetTest, SendsTheFixedRequestOfEachKind) {
    for (const bool isPackage : {false, true}) {
        LoopbackServer server(Answer(OkResponse("x")));
        const std::string url =
            "http://localhost:" + std::to_string(server.port()) + "/a/b.bin?x=1 trailing";
        EXPECT_EQ(Fetch(url, isPackage), kOk);
        const std::string tail = isPackage
                                     ? "\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n"
                                     : "\r\nConnection: Close\r\n\r\n";
        EXPECT_EQ(server.ReceivedRequest(),
                  "GET /a/b.bin?x=1 HTTP/1.1\r\nAccept: */*\r\nHost: localhost" + tail);
    }
}

TEST_F(HttpGetTest, ReportsPercentagesOfFourKilobytePieces) {
    const std::string body = Body(20000);
    LoopbackServer server(Answer(OkResponse(body)));
    EXPECT_EQ(Fetch(server.Url("/p.bin"), true), kOk);
    EXPECT_EQ(response_, body);
    EXPECT_EQ(Reported(), (std::vector<StatusWord>{0x1400, 0x2800, 0x3D00, 0x5100, 0x6400}));
    EXPECT_TRUE(whole_);
}

TEST_F(HttpGetTest, AcceptsOnlyTwoHundredOkInTheStatusLine) {
    const struct {
        const char* response;
        int code;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi", kOk},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nhi", kStatusNotAccepted},
        {"HTTP/1.1 403 Forbidden\r\nX-Note: 200 OK\r\nContent-Length: 2\r\n\r\nhi",
         kStatusNotAccepted},
    };
    for (const auto& c : cases) {
        LoopbackServer server(Answer(c.response));
        response_ = "left from an earlier call";
        EXPECT_EQ(Fetch(server.Url("/"), false), c.code) << c.response;
        EXPECT_EQ(response_, c.code == kOk ? "hi" : "");
    }
}

TEST_F(HttpGetTest, OnlyFourLineEndBytesInARowEndTheHeader) {
    {
        LoopbackServer server(Answer("HTTP/1.1 200 OK\nContent-Length: 5\n\n\n\nhello"));
        EXPECT_EQ(Fetch(server.Url("/"), false), kOk);
        EXPECT_EQ(response_, "hello");
    }
    // "\n\n" does not end it: the body is read as header until the close.
    LoopbackServer server(Answer("HTTP/1.1 200 OK\nContent-Length: 5\n\nhello"));
    EXPECT_EQ(Fetch(server.Url("/"), false), kReceiveFailed);
}

TEST_F(HttpGetTest, PackageIsWholeOnlyWhenItArrivesExactlyAsAnnounced) {
    const struct {
        std::string response;
        bool whole;
    } cases[] = {
        {HeaderFor(10) + Body(5), false},
        {HeaderFor(10) + Body(10), true},
        {HeaderFor(0), true},
        {HeaderFor(0) + "abc", false},
        {"HTTP/1.1 200 OK\r\n\r\nabc", false},
        {"HTTP/1.1 200 OK\r\n\r\n", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: -3\r\n\r\nabc", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: three\r\n\r\nabc", false},
    };
    for (const auto& c : cases) {
        LoopbackServer server(Answer(c.response));
        EXPECT_EQ(Fetch(server.Url("/"), true), kOk) << c.response;
        EXPECT_EQ(whole_, c.whole) << c.response;
    }
}

TEST_F(HttpGetTest, ReportsNoPercentageWithoutAUsableLength) {
    for (const std::string& header : {HeaderFor(0), std::string("HTTP/1.1 200 OK\r\n\r\n")}) {
        LoopbackServer server(Answer(header + Body(9000)));
        EXPECT_EQ(Fetch(server.Url("/"), true), kOk);
        EXPECT_EQ(response_.size(), header == HeaderFor(0) ? 0u : 9000u);
    }
    EXPECT_TRUE(Reported().empty());
}

TEST_F(HttpGetTest, LongPackageIsStoredOnlyUpToItsAnnouncedLength) {
    LoopbackServer server(Answer(HeaderFor(10) + Body(10000)));
    EXPECT_EQ(Fetch(server.Url("/"), true), kOk);
    EXPECT_EQ(response_, Body(10));
    EXPECT_FALSE(whole_);
    EXPECT_EQ(Reported(), std::vector<StatusWord>{0x6400});
}

TEST_F(HttpGetTest, ReservesASaneAnnouncedLengthOnly) {
    for (const std::size_t announced :
         {std::size_t{3'000'000}, std::size_t{1'000'000'000}, std::size_t{2'000'000'000}}) {
        LoopbackServer server(Answer(HeaderFor(announced) + "short"));
        EXPECT_EQ(Fetch(server.Url("/"), true), kOk);
        EXPECT_EQ(response_, "short");
        if (announced < 4'000'000) {
            EXPECT_GE(response_.capacity(), announced);
        } else {
            // Five bytes came: a false announcement must not take the memory.
            EXPECT_LT(response_.capacity(), std::size_t{16} << 20) << announced;
        }
    }
}

TEST_F(HttpGetTest, BodyBeyondTheFirstReservationArrivesWhole) {
    const std::string body = Body((std::size_t{9} << 20) + 5);
    LoopbackServer server(Answer(OkResponse(body)));
    EXPECT_EQ(Fetch(server.Url("/"), true), kOk);
    EXPECT_TRUE(response_ == body) << "got " << response_.size() << " bytes";
    EXPECT_TRUE(whole_);
}

TEST_F(HttpGetTest, ListOfAnotherLengthThanAnnouncedFailsTheReceive) {
    const ServerScript scripts[] = {
        Answer(HeaderFor(10) + Body(5)),
        Answer(HeaderFor(1'000'000'000) + Body(100)),
        // Past its length the exchange ends at once, not at the close (which
        // here would come only after the silence limit).
        ServerScript{}.ReadRequest().Send(HeaderFor(10) + Body(5000)).Pause(10s),
    };
    for (const ServerScript& script : scripts) {
        LoopbackServer server(script);
        EXPECT_EQ(Fetch(server.Url("/"), false), kReceiveFailed);
    }
}

TEST_F(HttpGetTest, CancelBeforeTheBodyEndsBeforeAnyBodyByte) {
    RequestCancel();
    LoopbackServer server(Answer(OkResponse(Body(100))));
    EXPECT_EQ(Fetch(server.Url("/"), true), kCancelled);
    EXPECT_TRUE(response_.empty());
    EXPECT_FALSE(server.ReceivedRequest().empty()) << "the request still goes out";
}

TEST_F(HttpGetTest, CancelDuringTheHeaderIsNoticedAfterIt) {
    LoopbackServer server(ServerScript{}
                              .ReadRequest()
                              .Send("HTTP/1.1 200 OK\r\n")
                              .Pause(50ms)
                              .Call([] { RequestCancel(); })
                              .Send("Content-Length: 5\r\n\r\nhello")
                              .Close());
    EXPECT_EQ(Fetch(server.Url("/"), true), kCancelled);
    EXPECT_TRUE(response_.empty());
}

TEST_F(HttpGetTest, CancelDuringTheBodyEndsAfterThatPiece) {
    LoopbackServer server(ServerScript{}
                              .ReadRequest()
                              .Send(HeaderFor(20000) + Body(4096))
                              .Pause(300ms)
                              .Send(Body(15904))
                              .Close());
    EXPECT_EQ(Fetch(server.Url("/"), true, CancelOnReport()), kCancelled);
    EXPECT_EQ(response_, Body(4096));
    EXPECT_EQ(Reported(), std::vector<StatusWord>{0x1400});
}

TEST_F(HttpGetTest, PieceThatSpendsTheBudgetIsKeptAndReported) {
    limits_.readinessWait = {1, 0};  // every pause ends in one charged wait
    // The body takes over two seconds to arrive, so even a client held up
    // for a while on a busy machine cannot have it whole when the half
    // second is spent.
    LoopbackServer server(Trickle(8, 1000, 300ms));
    EXPECT_EQ(Fetch(server.Url("/"), true, Record(), {0, 500000}), kTimeBudgetSpent);
    EXPECT_GE(response_.size(), 2000u);
    EXPECT_LT(response_.size(), 8000u);
    ASSERT_FALSE(Reported().empty());
    EXPECT_EQ(Reported().back(), PercentageWord(DownloadPercentage(response_.size(), 8000)));
}

TEST_F(HttpGetTest, SilentWaitsAreNotCharged) {
    LoopbackServer server(Trickle(2, 1000, 350ms));
    EXPECT_EQ(Fetch(server.Url("/"), true, Record(), {0, 200000}), kOk);
    EXPECT_EQ(response_.size(), 2000u);
}

TEST_F(HttpGetTest, FifthSilentWaitEndsTheExchangeThoughDataCameBetween) {
    LoopbackServer server(Trickle(5, 1000, 350ms));
    EXPECT_EQ(Fetch(server.Url("/"), true), kSilenceLimit);
    EXPECT_LT(response_.size(), 5000u);
    EXPECT_GE(response_.size(), 1000u);
}

TEST_F(HttpGetTest, SilenceInTheHeaderIsLimitedToo) {
    LoopbackServer server(ServerScript{}.ReadRequest().Send("HTTP/1.1 200 OK\r\n").Pause(5s));
    EXPECT_EQ(Fetch(server.Url("/"), false), kSilenceLimit);
}

TEST_F(HttpGetTest, HeaderAndBodyEachGetTheWholeSilenceLimit) {
    limits_.readinessWait = {0, 200000};
    limits_.idleWaitLimit = 3;
    // Each pause spans two silent waits: four in the exchange, two in each part.
    LoopbackServer server(ServerScript{}
                              .ReadRequest()
                              .Send("HTTP/1.1 200 OK\r\n")
                              .Pause(500ms)
                              .Send("Content-Length: 10\r\n\r\nhello")
                              .Pause(500ms)
                              .Send("world")
                              .Close());
    EXPECT_EQ(Fetch(server.Url("/"), false), kOk);
    EXPECT_EQ(response_, "helloworld");
}

TEST_F(HttpGetTest, BrokenConnectionsGiveTwelve) {
    {
        LoopbackServer server(Answer("HTTP/1.1 200 OK\r\nContent-Le"));
        EXPECT_EQ(Fetch(server.Url("/"), false), kReceiveFailed);
    }
    if (testing_support::UnderWine())
        GTEST_SKIP() << "the close was checked, not the reset: "
                     << testing_support::kWineReadsResetAsClose;
    LoopbackServer server(
        ServerScript{}.ReadRequest().Send(HeaderFor(9000) + Body(100)).Pause(100ms).Reset());
    EXPECT_EQ(Fetch(server.Url("/"), true), kReceiveFailed);
}

TEST_F(HttpGetTest, EndlessHeaderIsCut) {
    limits_.headerCap = 256;
    LoopbackServer server(Answer("HTTP/1.1 200 OK\r\nX-Filler: " + Body(1000)));
    EXPECT_EQ(Fetch(server.Url("/"), false), kResponseTooLarge);
}

TEST_F(HttpGetTest, BodyWithoutAPackageLengthIsCapped) {
    limits_.bodyCap = 5000;
    const std::string header = "HTTP/1.1 200 OK\r\n\r\n";
    {
        LoopbackServer server(Answer(header + Body(5000)));
        EXPECT_EQ(Fetch(server.Url("/"), false), kOk);
        EXPECT_EQ(response_.size(), 5000u);
    }
    for (const bool isPackage : {false, true}) {
        LoopbackServer server(Answer(header + Body(5001)));
        EXPECT_EQ(Fetch(server.Url("/"), isPackage), kResponseTooLarge);
        EXPECT_LE(response_.size(), 5000u);
    }
}

TEST_F(HttpGetTest, ConnectionFailuresPassTheirCodeOn) {
    const std::string port = std::to_string(testing_support::UnusedLoopbackPort());
    EXPECT_EQ(Fetch("http://127.0.0.1:" + port + "/x", false), kConnectionRefused);
    EXPECT_EQ(Fetch("http://updates.invalid/x", false), kUrlUnusableOrWaitFailed);
    // A URL that does not fit leaves no host: nothing is ever sent anywhere.
    EXPECT_EQ(Fetch("ftp://127.0.0.1/x", false), kUrlUnusableOrWaitFailed);
    EXPECT_EQ(Fetch("http://127.0.0.1:0/x", false), kUrlUnusableOrWaitFailed);
}

TEST_F(HttpGetTest, ProductWaitOfFourSecondsEndsBeforeCancelIsSeen) {
    limits_ = HttpLimits{};
    LoopbackServer server(ServerScript{}
                              .ReadRequest()
                              .Send(HeaderFor(20000) + Body(1000))
                              .Pause(300ms)
                              .Call([] { RequestCancel(); })
                              .Pause(20s));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch(server.Url("/"), true), kCancelled);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 3900ms);
    EXPECT_LT(elapsed, 7500ms) << "noticed only after a second wait";
}

TEST_F(HttpGetTest, FollowsEachRedirectStatusWithTheSameRequest) {
    const std::string tail =
        " HTTP/1.1\r\nAccept: */*\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\n"
        "Connection: Close\r\n\r\n";
    for (const int status : {301, 302, 303, 307, 308}) {
        LoopbackServer server({RedirectTo("/final.bin?v=2", status), Answer(OkResponse("moved"))});
        EXPECT_EQ(Fetch(server.Url("/start.bin"), true), kOk) << status;
        EXPECT_EQ(response_, "moved");
        EXPECT_TRUE(whole_);
        EXPECT_EQ(server.ReceivedRequest(), "GET /start.bin" + tail + "GET /final.bin?v=2" + tail);
    }
}

TEST_F(HttpGetTest, ResolvesRelativeAndAbsoluteLocations) {
    const struct {
        std::string location;
        std::string path;
    } relative[] = {
        {"sub/p.bin?v=1", "/dir/sub/p.bin?v=1"},
        {"../up.bin", "/up.bin"},
        {" /root.bin ", "/root.bin"},
    };
    for (const auto& c : relative) {
        LoopbackServer server({RedirectTo(c.location), Answer(OkResponse("there"))});
        EXPECT_EQ(Fetch(server.Url("/dir/list.cfg"), false), kOk) << c.location;
        EXPECT_EQ(response_, "there");
        const std::string requests = server.ReceivedRequest();
        EXPECT_NE(requests.find("\r\n\r\nGET " + c.path + " HTTP/1.1\r\n"), std::string::npos)
            << requests;
    }
    LoopbackServer elsewhere(Answer(OkResponse("elsewhere")));
    LoopbackServer server(RedirectTo(elsewhere.Url("/p.bin")));
    EXPECT_EQ(Fetch(server.Url("/x"), false), kOk);
    EXPECT_EQ(response_, "elsewhere");
    EXPECT_EQ(elsewhere.ReceivedRequest().rfind("GET /p.bin HTTP/1.1\r\n", 0), 0u);
}

TEST_F(HttpGetTest, RedirectsWithoutAUsableLocationAreRefused) {
    for (const std::string& answer :
         {std::string("HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n"),
          std::string("HTTP/1.1 301 Moved\r\nLocation: \r\n\r\n"),
          std::string("HTTP/1.1 307 Moved\r\nLocation: ftp://127.0.0.1/p.bin\r\n\r\n")}) {
        LoopbackServer server(Answer(answer));
        EXPECT_EQ(Fetch(server.Url("/"), true), kRedirectRefused) << answer;
    }
}

TEST_F(HttpGetTest, FollowsFiveRedirectsButNotASixthNorALoop) {
    for (const int redirects : {5, 6}) {
        std::vector<ServerScript> chain;
        for (int hop = 1; hop <= redirects; ++hop)
            chain.push_back(RedirectTo("/hop" + std::to_string(hop)));
        chain.push_back(Answer(OkResponse("end")));
        LoopbackServer server(chain);
        EXPECT_EQ(Fetch(server.Url("/"), false), redirects == 5 ? kOk : kTooManyRedirects);
    }
    LoopbackServer loop({RedirectTo("/b"), RedirectTo("/a")});
    EXPECT_EQ(Fetch(loop.Url("/a"), false), kTooManyRedirects);
}

TEST_F(HttpGetTest, OneBudgetCoversTheWholeChain) {
    limits_.readinessWait = {1, 0};  // each pause ends in one charged wait
    const auto slowly = [](const std::string& answer) {
        return ServerScript{}.ReadRequest().Pause(300ms).Send(answer).Close();
    };
    LoopbackServer server(
        {slowly("HTTP/1.1 302 Found\r\nLocation: /b\r\n\r\n"), slowly(OkResponse("late"))});
    EXPECT_EQ(Fetch(server.Url("/a"), false, Record(), {0, 500000}), kTimeBudgetSpent);
}

}  // namespace
