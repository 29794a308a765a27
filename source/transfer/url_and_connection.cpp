#include "transfer/url_and_connection.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "transfer/decimal_scan.h"
#include "transfer/time_arithmetic.h"
#include "vocabulary/c_space.h"
#include "vocabulary/error_codes.h"

namespace {

constexpr std::string_view kPlainScheme = "http://";
constexpr std::string_view kSecureScheme = "https://";
constexpr std::uint16_t kPlainPort = 80;
constexpr std::uint16_t kSecurePort = 443;
constexpr std::size_t kLongestHostField = 1023;
constexpr std::size_t kLongestPath = 2047;
constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;  // what inet_addr gives for bad text

constexpr std::int64_t kLargestPort = 65535;

// A port number read as "%d" reads it; nothing unless it lies in 1..65535.
std::optional<std::uint16_t> ParsePort(std::string_view text) {
    const std::optional<std::int64_t> port = ScanDecimal(text, kLargestPort);
    if (!port || *port < 1)
        return std::nullopt;
    return static_cast<std::uint16_t>(*port);
}

bool IsDottedAddress(const std::string& host) {
    return host.find_first_not_of(".0123456789") == std::string::npos;
}

// The host's IPv4 address in network byte order, or nothing when it has none.
std::optional<std::uint32_t> AddressOf(const std::string& host) {
    if (host.empty())
        return std::nullopt;
    if (IsDottedAddress(host)) {
        const std::uint32_t address = platform::ParseIpv4(host);
        if (address == kNoAddress)
            return std::nullopt;
        return address;
    }
    std::uint32_t address = 0;
    if (!platform::ResolveHostIpv4(host, &address))
        return std::nullopt;
    return address;
}

// Waits for a started connection and charges the wait to `timeout`.
ErrorCode FinishConnect(platform::Socket socket, platform::TimeVal& timeout) {
    const platform::TimeVal start = GetTickTime();
    bool writable = false;
    if (platform::WaitForSocket(socket, platform::WaitFor::kWritable, timeout, &writable) < 0) {
        return kSocketSetupFailed;
    }
    if (!writable)
        return kConnectTimedOut;
    // Linux marks a refused attempt writable too; only the socket's error
    // status tells a refusal from a connection.
    if (platform::SocketErrorStatus(socket) != 0)
        return kConnectionRefused;
    if (!ChargeBudget(timeout, SubtractTime(GetTickTime(), start)))
        return kTimeBudgetSpent;
    return kOk;
}

ErrorCode Connect(platform::Socket socket, const std::string& host, const std::string& portText,
                  platform::TimeVal& timeout) {
    if (!platform::SetNonBlocking(socket))
        return kSocketSetupFailed;
    const std::optional<std::uint16_t> port = ParsePort(portText);
    const std::optional<std::uint32_t> address = AddressOf(host);
    if (!address)
        return kUrlUnusableOrWaitFailed;
    if (!port)
        return kConnectionRefused;  // port 0 would be refused anyway
    switch (platform::StartConnect(socket, *address, *port)) {
        case platform::ConnectStart::kConnected:
            return kOk;
        case platform::ConnectStart::kFailed:
            return kConnectionRefused;
        case platform::ConnectStart::kInProgress:
            break;
    }
    return FinishConnect(socket, timeout);
}

}  // namespace

std::optional<Url> ParseUrl(const std::string& url) {
    const std::string_view text = url;
    const bool secure = text.starts_with(kSecureScheme);
    if (!secure && !text.starts_with(kPlainScheme))
        return std::nullopt;
    const std::size_t hostStart = secure ? kSecureScheme.size() : kPlainScheme.size();
    const std::size_t slash = text.find('/', hostStart);
    if (slash == std::string_view::npos || slash == hostStart)
        return std::nullopt;
    if (slash - hostStart > kLongestHostField)
        return std::nullopt;
    std::size_t pathEnd = slash;
    while (pathEnd < text.size() && !IsCSpace(text[pathEnd]))
        ++pathEnd;
    if (pathEnd - slash > kLongestPath)
        return std::nullopt;

    std::string_view name = text.substr(hostStart, slash - hostStart);
    std::uint16_t port = secure ? kSecurePort : kPlainPort;
    if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
        const std::optional<std::uint16_t> given = ParsePort(name.substr(colon + 1));
        if (colon == 0 || !given)
            return std::nullopt;
        name = name.substr(0, colon);
        port = *given;
    }
    return Url{secure, std::string(name), std::to_string(port),
               std::string(text.substr(slash, pathEnd - slash))};
}

std::string FormatUrl(const Url& url) {
    std::string text(url.secure ? kSecureScheme : kPlainScheme);
    text += url.host;
    if (url.portText != std::to_string(url.secure ? kSecurePort : kPlainPort))
        text += ":" + url.portText;
    return text + url.path;
}

void SplitUrl(const std::string& url, std::string& host, std::string& portText, std::string& path) {
    std::optional<Url> parts = ParseUrl(url);
    if (!parts || parts->secure)
        return;
    host = std::move(parts->host);
    portText = std::move(parts->portText);
    path = std::move(parts->path);
}

ErrorCode ConnectWithTimeout(std::string host, std::string portText, platform::TimeVal& timeout,
                             platform::Socket& socketOut) {
    const platform::Socket socket = platform::CreateTcpSocket();
    socketOut = socket;
    if (socket == platform::kInvalidSocket)
        return kSocketSetupFailed;
    const ErrorCode code = Connect(socket, host, portText, timeout);
    if (code != kOk)
        platform::CloseSocket(socket);
    return code;
}
