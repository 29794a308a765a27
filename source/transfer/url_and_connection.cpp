#include "transfer/url_and_connection.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "transfer/decimal_scan.h"
#include "transfer/name_lookup.h"
#include "transfer/time_arithmetic.h"
#include "vocabulary/c_space.h"
#include "vocabulary/cancel_request.h"
#include "vocabulary/error_codes.h"

namespace {

constexpr std::string_view kPlainScheme = "http://";
constexpr std::string_view kSecureScheme = "https://";
constexpr std::uint16_t kPlainPort = 80;
constexpr std::uint16_t kSecurePort = 443;
constexpr std::size_t kLongestHostField = 1023;
constexpr std::size_t kLongestPath = 2047;

constexpr std::int64_t kLargestPort = 65535;

// A port number read as "%d" reads it; nothing unless it lies in 1..65535.
std::optional<std::uint16_t> ParsePort(std::string_view text) {
    const std::optional<std::int64_t> port = ScanDecimal(text, kLargestPort);
    if (!port || *port < 1)
        return std::nullopt;
    return static_cast<std::uint16_t>(*port);
}

// The head start each attempt gets before the next address is tried.
constexpr platform::TimeVal kAttemptDelay{0, 250000};

// The addresses in the order they are tried: the families alternate, the
// system's first choice first, each family in the system's order.
std::vector<platform::IpAddress> RaceOrder(const std::vector<platform::IpAddress>& addresses) {
    std::vector<platform::IpAddress> first;
    std::vector<platform::IpAddress> other;
    for (const platform::IpAddress& address : addresses)
        (address.v6 == addresses.front().v6 ? first : other).push_back(address);
    std::vector<platform::IpAddress> order;
    for (std::size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
        if (i < first.size())
            order.push_back(first[i]);
        if (i < other.size())
            order.push_back(other[i]);
    }
    return order;
}

// The host's addresses, the time of a lookup charged to `budget`; a code
// when the host has none.
ErrorCode AddressesOf(const Host& host, platform::TimeVal& budget,
                      std::vector<platform::IpAddress>& addresses) {
    switch (host.kind) {
        case Host::Kind::kAddress:
            addresses = {host.address};
            return kOk;
        case Host::Kind::kName:
            if (const ErrorCode code = LookUpName(host.name, budget, addresses); code != kOk)
                return code;
            return addresses.empty() ? kUrlUnusableOrWaitFailed : kOk;
        case Host::Kind::kUnusable:
            break;
    }
    return kUrlUnusableOrWaitFailed;
}

// The attempts in flight, each a socket connecting to one address. Whatever
// is still open when the race ends is closed, the winner excepted.
class ConnectionRace {
  public:
    ConnectionRace(std::vector<platform::IpAddress> order, std::uint16_t port)
        : order_(std::move(order)), port_(port) {}
    ~ConnectionRace() {
        for (const Attempt& attempt : attempts_)
            platform::CloseSocket(attempt.socket);
    }
    ConnectionRace(const ConnectionRace&) = delete;
    ConnectionRace& operator=(const ConnectionRace&) = delete;

    ErrorCode Run(platform::TimeVal& timeout, platform::Socket& socketOut,
                  platform::IpAddress& addressOut);

  private:
    struct Attempt {
        platform::Socket socket;
        platform::IpAddress address;
    };

    bool AddressesLeft() const { return next_ < order_.size(); }
    std::optional<Attempt> StartNext();
    std::optional<std::size_t> WaitForOne(platform::TimeVal wait, ErrorCode& failure);
    Attempt Take(std::size_t index) {
        const Attempt attempt = attempts_[index];
        attempts_.erase(attempts_.begin() + static_cast<std::ptrdiff_t>(index));
        return attempt;
    }

    std::vector<platform::IpAddress> order_;
    std::uint16_t port_;
    std::size_t next_ = 0;
    std::vector<Attempt> attempts_;
    // Whether any attempt got as far as a socket: with none, the failure is
    // the machine's, not the server's refusal.
    bool anySocket_ = false;
};

// Starts the attempt on the next address. An attempt connected at once is
// handed back; one that failed at once is closed and the next one started.
std::optional<ConnectionRace::Attempt> ConnectionRace::StartNext() {
    while (AddressesLeft()) {
        const platform::IpAddress address = order_[next_++];
        const platform::Socket socket = platform::CreateTcpSocket(address.v6);
        if (socket == platform::kInvalidSocket)
            continue;
        if (!platform::SetNonBlocking(socket)) {
            platform::CloseSocket(socket);
            continue;
        }
        anySocket_ = true;
        switch (platform::StartConnect(socket, address, port_)) {
            case platform::ConnectStart::kConnected:
                return Attempt{socket, address};
            case platform::ConnectStart::kInProgress:
                attempts_.push_back({socket, address});
                return std::nullopt;
            case platform::ConnectStart::kFailed:
                platform::CloseSocket(socket);
                break;
        }
    }
    return std::nullopt;
}

// One wait on every attempt in flight. The index of an attempt that
// connected, if one did; attempts found refused are closed on the way.
std::optional<std::size_t> ConnectionRace::WaitForOne(platform::TimeVal wait, ErrorCode& failure) {
    std::vector<platform::Socket> sockets;
    for (const Attempt& attempt : attempts_)
        sockets.push_back(attempt.socket);
    const auto ready = std::make_unique<bool[]>(sockets.size());
    if (platform::WaitForConnections(sockets.data(), sockets.size(), wait, ready.get()) < 0) {
        failure = kSocketSetupFailed;
        return std::nullopt;
    }
    for (std::size_t i = sockets.size(); i-- > 0;) {
        if (!ready[i])
            continue;
        // Linux marks a refused attempt writable too; only the socket's
        // error status tells a refusal from a connection.
        if (platform::SocketErrorStatus(sockets[i]) == 0)
            return i;
        platform::CloseSocket(Take(i).socket);
    }
    return std::nullopt;
}

ErrorCode ConnectionRace::Run(platform::TimeVal& timeout, platform::Socket& socketOut,
                              platform::IpAddress& addressOut) {
    const platform::TimeVal start = GetTickTime();
    platform::TimeVal nextStart = start;
    for (;;) {
        platform::TimeVal now = GetTickTime();
        if (AddressesLeft() && (attempts_.empty() || CompareTime(now, nextStart) >= 0)) {
            if (const std::optional<Attempt> connected = StartNext()) {
                socketOut = connected->socket;
                addressOut = connected->address;
                return kOk;
            }
            nextStart = NormalizeTime(
                {now.tv_sec + kAttemptDelay.tv_sec, now.tv_usec + kAttemptDelay.tv_usec});
        }
        if (attempts_.empty()) {
            if (AddressesLeft())
                continue;
            return anySocket_ ? kConnectionRefused : kSocketSetupFailed;
        }
        const platform::TimeVal spent = SubtractTime(now, start);
        if (CompareTime(spent, timeout) >= 0)
            return kConnectTimedOut;
        platform::TimeVal wait = SubtractTime(timeout, spent);
        if (CompareTime(wait, kAttemptDelay) > 0)
            wait = kAttemptDelay;
        if (AddressesLeft() && CompareTime(SubtractTime(nextStart, now), wait) < 0)
            wait = CompareTime(nextStart, now) > 0 ? SubtractTime(nextStart, now)
                                                   : platform::TimeVal{0, 0};
        ErrorCode failure = kOk;
        const std::optional<std::size_t> winner = WaitForOne(wait, failure);
        if (failure != kOk)
            return failure;
        if (winner) {
            const Attempt attempt = Take(*winner);
            socketOut = attempt.socket;
            addressOut = attempt.address;
            if (!ChargeBudget(timeout, SubtractTime(GetTickTime(), start))) {
                platform::CloseSocket(attempt.socket);
                return kTimeBudgetSpent;
            }
            return kOk;
        }
        // A refusal hands its head start on to the next address.
        if (attempts_.empty())
            nextStart = GetTickTime();
        if (CancelRequested())
            return kCancelled;
    }
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
    std::size_t portFrom = 0;
    if (name.starts_with('[')) {
        portFrom = name.find(']');
        if (portFrom == std::string_view::npos)
            return std::nullopt;
        ++portFrom;
        if (portFrom < name.size() && name[portFrom] != ':')
            return std::nullopt;
    }
    if (const std::size_t colon = name.find(':', portFrom); colon != std::string_view::npos) {
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

ErrorCode ConnectWithTimeout(const Host& host, const std::string& portText,
                             platform::TimeVal& timeout, platform::TimeVal& budget,
                             platform::Socket& socketOut, platform::IpAddress& addressOut) {
    socketOut = platform::kInvalidSocket;
    std::vector<platform::IpAddress> addresses;
    if (const ErrorCode code = AddressesOf(host, budget, addresses); code != kOk)
        return code;
    const std::optional<std::uint16_t> port = ParsePort(portText);
    if (!port)
        return kConnectionRefused;  // port 0 would be refused anyway
    ConnectionRace race(RaceOrder(addresses), *port);
    return race.Run(timeout, socketOut, addressOut);
}
