// The forward proxy the proxy tests download through, checked with bare
// sockets: a download test that passes through a proxy which quietly
// refuses, or carries requests without asking for credentials, would prove
// nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/forward_proxy.h"
#include "support/loopback_socket.h"
#include "support/nginx_server.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ForwardProxy;
using testing_support::LoopbackSocket;
using testing_support::NginxServer;

std::string Base64(const std::string& bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 2]);
        encoded += kDigits[(group >> 18) & 63];
        encoded += kDigits[(group >> 12) & 63];
        encoded += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
        encoded += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
    }
    return encoded;
}

// One connection to the proxy: sends each of `messages` in turn, reading
// after each what comes back until an empty line ends a header, and after
// the last until the peer closes. Returns all it read.
std::string Exchange(std::uint16_t port, const std::vector<std::string>& messages) {
    const LoopbackSocket connection = testing_support::ConnectLoopback(port);
    if (connection == testing_support::kNoSocket)
        return "cannot connect";
    testing_support::LimitReceiveWait(connection, 10);
    std::string received;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        testing_support::SendAll(connection, messages[i]);
        if (i + 1 < messages.size()) {
            std::string header;
            testing_support::ReadRequestInto(connection, header, [](LoopbackSocket socket) {
                return testing_support::ReadableWithin(socket, 10000);
            });
            received += header;
        }
    }
    char buffer[4096];
    long count = 0;
    while ((count = testing_support::ReceiveSome(connection, buffer, sizeof buffer)) > 0)
        received.append(buffer, static_cast<std::size_t>(count));
    testing_support::CloseSocket(connection);
    return received;
}

std::string Get(const std::string& target, const std::string& host,
                const std::string& extraHeaders = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" + extraHeaders +
           "Connection: close\r\n\r\n";
}

bool StartsWithStatus(const std::string& response, const std::string& status) {
    return response.rfind("HTTP/1.0 " + status, 0) == 0 ||
           response.rfind("HTTP/1.1 " + status, 0) == 0;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class ForwardProxyFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        testing_support::WriteFileBytes(root_ / "list.cfg", "through the proxy\n");
        ASSERT_TRUE(nginx_.running()) << nginx_.error();
        host_ = "127.0.0.1:" + std::to_string(nginx_.port());
    }

    testing_support::TempDir root_;
    NginxServer nginx_{root_.path()};
    std::string host_;
};

TEST_F(ForwardProxyFixture, CarriesAbsoluteFormGetsAndConnectTunnelsToAnyPort) {
    ForwardProxy proxy;
    ASSERT_TRUE(proxy.running()) << proxy.error();

    const std::string viaGet = Exchange(proxy.port(), {Get(nginx_.Url("/list.cfg"), host_)});
    EXPECT_TRUE(StartsWithStatus(viaGet, "200")) << viaGet;
    EXPECT_TRUE(Contains(viaGet, "\r\n\r\nthrough the proxy\n")) << viaGet;

    // nginx's port is a random high one, which a proxy's usual CONNECT rules
    // would refuse.
    const std::string viaTunnel =
        Exchange(proxy.port(), {"CONNECT " + host_ + " HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n",
                                Get(nginx_.rootPath() + "/list.cfg", host_)});
    EXPECT_TRUE(StartsWithStatus(viaTunnel, "200")) << viaTunnel;
    EXPECT_TRUE(Contains(viaTunnel, "\r\n\r\nHTTP/1.1 200 OK\r\n")) << viaTunnel;
    EXPECT_TRUE(Contains(viaTunnel, "\r\n\r\nthrough the proxy\n")) << viaTunnel;

    // nginx on [::1] too, where the machine has it, and the proxy reaches it.
    if (nginx_.onIpv6()) {
        const std::string overIpv6 = Exchange(
            proxy.port(),
            {Get(nginx_.UrlOn("[::1]", "/list.cfg"), "[::1]:" + std::to_string(nginx_.port()))});
        EXPECT_TRUE(Contains(overIpv6, "\r\n\r\nthrough the proxy\n")) << overIpv6;
    }

    const std::string log = proxy.Log();
    EXPECT_TRUE(Contains(log, "GET " + nginx_.Url("/list.cfg") + " HTTP/1.1")) << log;
    EXPECT_TRUE(Contains(log, "CONNECT " + host_ + " HTTP/1.1")) << log;
}

TEST_F(ForwardProxyFixture, DemandsItsBasicCredentials) {
    using testing_support::kSharedProxyPassword;
    using testing_support::kSharedProxyUser;
    ForwardProxy proxy({kSharedProxyUser, kSharedProxyPassword});
    ASSERT_TRUE(proxy.running()) << proxy.error();

    const std::string url = nginx_.Url("/list.cfg");
    const std::string anonymous = Exchange(proxy.port(), {Get(url, host_)});
    EXPECT_TRUE(StartsWithStatus(anonymous, "407")) << anonymous;
    EXPECT_TRUE(Contains(anonymous, "Proxy-Authenticate: Basic")) << anonymous;
    const auto authorization = [](const std::string& credentials) {
        return "Proxy-Authorization: Basic " + Base64(credentials) + "\r\n";
    };
    const std::string wrong = Exchange(
        proxy.port(), {Get(url, host_, authorization(std::string(kSharedProxyUser) + ":wrong"))});
    // tinyproxy answers wrong credentials as if it were the origin server.
    EXPECT_TRUE(StartsWithStatus(wrong, "401")) << wrong;
    EXPECT_FALSE(Contains(wrong, "\r\n\r\nthrough the proxy\n")) << wrong;
    const std::string tunnelRefused =
        Exchange(proxy.port(), {"CONNECT " + host_ + " HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n"});
    EXPECT_TRUE(StartsWithStatus(tunnelRefused, "407")) << tunnelRefused;

    const std::string granted =
        Exchange(proxy.port(),
                 {Get(url, host_,
                      authorization(std::string(kSharedProxyUser) + ":" + kSharedProxyPassword))});
    EXPECT_TRUE(StartsWithStatus(granted, "200")) << granted;
    EXPECT_TRUE(Contains(granted, "\r\n\r\nthrough the proxy\n")) << granted;
}

}  // namespace
