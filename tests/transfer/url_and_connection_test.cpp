#include "transfer/url_and_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "platform/test_hooks.h"
#include "support/loopback_server.h"
#include "transfer/time_arithmetic.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"

namespace {

using platform::TimeVal;
using testing_support::LoopbackServer;
using testing_support::ServerScript;

struct Split {
    std::string host, port, path;
    bool operator==(const Split&) const = default;
};

Split SplitOf(const std::string& url) {
    Split parts;
    SplitUrl(url, parts.host, parts.port, parts.path);
    return parts;
}

TEST(SplitUrl, TakesHostPortAndPath) {
    EXPECT_EQ(SplitOf("http://srv/patchlist.cfg"), (Split{"srv", "80", "/patchlist.cfg"}));
    EXPECT_EQ(SplitOf("http://srv:8080/a/b.bin?x=1"), (Split{"srv", "8080", "/a/b.bin?x=1"}));
    EXPECT_EQ(SplitOf("http://srv/a b"), (Split{"srv", "80", "/a"}));
    EXPECT_EQ(SplitOf("http://srv:0080/"), (Split{"srv", "80", "/"}));
    EXPECT_EQ(SplitOf("http://srv:65535x/"), (Split{"srv", "65535", "/"}));
    EXPECT_EQ(SplitOf("http://" + std::string(1023, 'h') + "/" + std::string(2046, 'p')),
              (Split{std::string(1023, 'h'), "80", "/" + std::string(2046, 'p')}));
}

TEST(SplitUrl, LeavesTheOutputsAloneForUrlsThatDoNotFit) {
    for (const std::string& url : std::vector<std::string>{
             "http://srv", "HTTP://srv/x", "ftp://srv/x", "http:///x", "http://srv:/x",
             "http://srv:abc/x", "http://:80/x", "http://srv:0/x", "http://srv:65536/x",
             "http://srv:-80/x", "http://srv:99999999999999999999/x",
             "http://" + std::string(1024, 'h') + "/x", "http://srv/" + std::string(2047, 'p')}) {
        EXPECT_EQ(SplitOf(url), Split{}) << url;
    }
}

TEST(ParseUrl, TakesAnIpv6AddressInBrackets) {
    const std::optional<Url> url = ParseUrl("http://[::1]:8080/list.cfg");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->host, "[::1]");
    EXPECT_EQ(url->portText, "8080");
    EXPECT_EQ(FormatUrl(*url), "http://[::1]:8080/list.cfg");
    EXPECT_EQ(ParseUrl("https://[2001:db8::7]/a")->portText, "443");
    for (const char* bad : {"http://[::1/x", "http://[::1]x/", "http://[::1]:/x"})
        EXPECT_FALSE(ParseUrl(bad)) << bad;
}

TEST(ParseUrl, TakesBothSchemesWithTheirOwnDefaultPort) {
    const struct {
        const char* url;
        bool secure;
        const char* port;
        const char* formatted;
    } cases[] = {
        {"http://srv/a?b", false, "80", "http://srv/a?b"},
        {"https://srv/a?b", true, "443", "https://srv/a?b"},
        {"https://srv:80/a", true, "80", "https://srv:80/a"},
        {"https://srv:443/a b", true, "443", "https://srv/a"},
    };
    for (const auto& c : cases) {
        const std::optional<Url> url = ParseUrl(c.url);
        ASSERT_TRUE(url) << c.url;
        EXPECT_EQ(url->secure, c.secure) << c.url;
        EXPECT_EQ(url->portText, c.port) << c.url;
        EXPECT_EQ(FormatUrl(*url), c.formatted);
    }
    EXPECT_FALSE(ParseUrl("https:/srv/a"));
    EXPECT_FALSE(ParseUrl("HTTPS://srv/a"));
    EXPECT_FALSE(ParseUrl("https://srv:0/a"));
    // Callers of the plain split know nothing of TLS.
    EXPECT_EQ(SplitOf("https://srv/a"), Split{});
}

class ConnectWithTimeoutTest : public ::testing::Test {
  protected:
    int Connect(const std::string& host, const std::string& port) {
        const int code =
            ConnectWithTimeout(ParseHost(host), port, timeout_, budget_, socket_, address_);
        connected_ = code == kOk;
        return code;
    }
    void TearDown() override {
        if (connected_)
            platform::CloseSocket(socket_);
    }

    TimeVal timeout_{0, 300000};
    TimeVal budget_{0, 300000};
    platform::Socket socket_ = platform::kInvalidSocket;
    platform::IpAddress address_;
    bool connected_ = false;
};

TEST_F(ConnectWithTimeoutTest, ConnectsAndHandsBackTheTimeLeft) {
    LoopbackServer server(ServerScript{});
    ASSERT_EQ(Connect("127.0.0.1", std::to_string(server.port())), kOk);
    EXPECT_EQ(platform::FormatIpAddress(address_), "127.0.0.1");
    EXPECT_NE(socket_, platform::kInvalidSocket);
    EXPECT_LE(CompareTime(timeout_, {0, 300000}), 0);
    EXPECT_GE(timeout_.tv_sec, 0);
}

TEST_F(ConnectWithTimeoutTest, RefusedConnectionGivesNine) {
    // Linux reports a refused attempt on loopback only after the wait, by
    // marking the socket writable; the error status must still be noticed.
    EXPECT_EQ(Connect("127.0.0.1", std::to_string(testing_support::UnusedLoopbackPort())),
              kConnectionRefused);
    EXPECT_EQ(Connect("127.0.0.1", "not a port"), kConnectionRefused);
}

TEST_F(ConnectWithTimeoutTest, HostsWithoutAnAddressGiveTwentyTwo) {
    for (const char* host : {"no-such-host.invalid", "", "999.1.1.1"}) {
        EXPECT_EQ(Connect(host, "80"), kUrlUnusableOrWaitFailed) << host;
    }
}

TEST_F(ConnectWithTimeoutTest, NeverAcceptedConnectionTimesOutWithFourteen) {
    testing_support::FullBacklogListener listener;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Connect("127.0.0.1", std::to_string(listener.port())), kConnectTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_TRUE(CompareTime(timeout_, {0, 300000}) == 0) << "a failed wait leaves the time-out";
}

// A name with a dead IPv6 address first and a live IPv4 one: the IPv4
// attempt starts once the first has had its 250 ms, well inside the time-out
// that the dead address alone would use up.
TEST_F(ConnectWithTimeoutTest, DeadFirstAddressIsPassedAfterItsHeadStart) {
    LoopbackServer server(ServerScript{});
    const testing_support::FullBacklogListener blackhole(
        testing_support::FullBacklogListener::OnIpv6{server.port()});
    platform::InjectResolvedAddresses("dual.test",
                                      {*platform::ParseIpv6("::1"), *ParseDottedIpv4("127.0.0.1")});
    timeout_ = {2, 0};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Connect("dual.test", std::to_string(server.port())), kOk);
    const auto spent = std::chrono::steady_clock::now() - start;
    platform::ResetFaults();
    EXPECT_EQ(platform::FormatIpAddress(address_), "127.0.0.1");
    EXPECT_GE(spent, std::chrono::milliseconds(240)) << "the first address had its head start";
    EXPECT_LT(spent, std::chrono::milliseconds(1500)) << "the second did not wait for the end";
}

// The other way round, an IPv6-only name, and both families as literals.
TEST_F(ConnectWithTimeoutTest, ReachesIpv6AddressesByNameAndLiteral) {
    std::uint16_t port = 0;
    const testing_support::LoopbackSocket listener = testing_support::ListenIpv6Loopback(4, &port);
    platform::InjectResolvedAddresses("v6only.test", {*platform::ParseIpv6("::1")});
    for (const char* host : {"v6only.test", "[::1]"}) {
        ASSERT_EQ(Connect(host, std::to_string(port)), kOk) << host;
        EXPECT_EQ(platform::FormatIpAddress(address_), "::1");
        platform::CloseSocket(socket_);
        connected_ = false;
    }
    platform::ResetFaults();
    testing_support::CloseSocket(listener);
}

// A resolver that does not answer holds the exchange no longer than its
// budget, and Cancel is heard while it is waited for.
TEST_F(ConnectWithTimeoutTest, SlowResolverIsWaitedForOnlyUntilTheTimeOutOrCancel) {
    platform::InjectResolvedAddresses("slow.test", {*ParseDottedIpv4("127.0.0.1")},
                                      std::chrono::seconds(5));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Connect("slow.test", "80"), kUrlUnusableOrWaitFailed);
    RequestCancel();
    budget_ = {5, 0};
    EXPECT_EQ(Connect("slow.test", "80"), kCancelled);
    ClearCancelRequest();
    platform::ResetFaults();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(ConnectWithTimeoutTest, CancelEndsTheRaceForADeadAddress) {
    testing_support::FullBacklogListener blackhole;
    timeout_ = {5, 0};
    RequestCancel();
    const int code = Connect("127.0.0.1", std::to_string(blackhole.port()));
    ClearCancelRequest();
    EXPECT_EQ(code, kCancelled);
}

TEST(SocketLayer, SendToAResetPeerFailsWithoutASignal) {
    // SIGPIPE keeps its default action here: a send that raised it would end
    // the test process.
    // The pause lets the connection step finish before the reset arrives;
    // otherwise the reset can already show as a refused connection.
    LoopbackServer server(ServerScript{}.Pause(std::chrono::milliseconds(300)).Reset());
    TimeVal timeout{1, 0};
    platform::Socket socket = platform::kInvalidSocket;
    platform::IpAddress address;
    TimeVal budget{1, 0};
    ASSERT_EQ(ConnectWithTimeout(ParseHost("127.0.0.1"), std::to_string(server.port()), timeout,
                                 budget, socket, address),
              kOk);
    bool readable = false;
    ASSERT_GT(platform::WaitForSocket(socket, platform::WaitFor::kReadable, {2, 0}, &readable), 0);
    const char bytes[] = "GET / HTTP/1.1\r\n\r\n";
    EXPECT_EQ(platform::SendSome(socket, bytes, sizeof bytes), -1);
    EXPECT_EQ(platform::SendSome(socket, bytes, sizeof bytes), -1);
    platform::CloseSocket(socket);
}

}  // namespace
