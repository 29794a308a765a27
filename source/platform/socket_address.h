// Between the platform's IpAddress and the socket library's own address
// structures, which POSIX and Windows Sockets lay out alike. Used by the two
// socket implementations only.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/platform.h"

struct sockaddr;
struct sockaddr_storage;

namespace platform {

// The address `address` holds; nothing for a family other than IPv4 and
// IPv6.
std::optional<IpAddress> AddressIn(const sockaddr* address);

// Appends what `address` holds to `addresses`, unless it is there already
// or of another family: a resolver names an address once for each socket
// type it knows.
void AddOnce(std::vector<IpAddress>& addresses, const sockaddr* address);

// Fills `storage` with `address` at `port`; returns the length the
// connection call takes with it.
int FillSocketAddress(const IpAddress& address, std::uint16_t port, sockaddr_storage& storage);

}  // namespace platform
