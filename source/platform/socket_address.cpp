// Address conversions shared by both socket implementations: POSIX and
// Windows Sockets name the same structures and text calls.
#include "platform/socket_address.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstring>

namespace platform {

std::optional<IpAddress> AddressIn(const sockaddr* address) {
    IpAddress result;
    if (address->sa_family == AF_INET6) {
        result.v6 = true;
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        std::memcpy(result.bytes.data(), &in6->sin6_addr, 16);
    } else if (address->sa_family == AF_INET) {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
        std::memcpy(result.bytes.data(), &in4->sin_addr, 4);
    } else {
        return std::nullopt;
    }
    return result;
}

void AddOnce(std::vector<IpAddress>& addresses, const sockaddr* address) {
    const std::optional<IpAddress> found = AddressIn(address);
    if (found && std::find(addresses.begin(), addresses.end(), *found) == addresses.end())
        addresses.push_back(*found);
}

int FillSocketAddress(const IpAddress& address, std::uint16_t port, sockaddr_storage& storage) {
    storage = {};
    if (address.v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        std::memcpy(&in6->sin6_addr, address.bytes.data(), 16);
        return sizeof *in6;
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    std::memcpy(&in4->sin_addr, address.bytes.data(), 4);
    return sizeof *in4;
}

std::optional<IpAddress> ParseIpv6(const std::string& text) {
    IpAddress address;
    address.v6 = true;
    if (inet_pton(AF_INET6, text.c_str(), address.bytes.data()) != 1)
        return std::nullopt;
    return address;
}

std::string FormatIpAddress(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes.data(), text, sizeof text) ==
        nullptr) {
        return {};
    }
    return text;
}

}  // namespace platform
