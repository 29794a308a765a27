// What a URL's host names, read once from its text. The connection and the
// TLS certificate check both take this one reading, so a host can never
// reach one address while the certificate is checked for another.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

struct Host {
    enum class Kind {
        kName,      // looked up by name; the certificate must name it
        kAddress,   // a numeric address; the certificate must name that address
        kUnusable,  // neither: nothing is sent anywhere
    };
    Kind kind = Kind::kUnusable;
    std::string name;             // kName: the name, as the URL writes it
    platform::IpAddress address;  // kAddress: the address
};

// Reads a URL's host field (without its port):
//   - "[" IPv6 "]": that address; any other text in brackets (a zone
//     included) is unusable;
//   - a host whose last label is a number (decimal, or "0x" and hex digits)
//     must be four decimal parts, each 0 to 255 without leading zeros
//     ("10.0.0.1"), and is unusable otherwise: "010.0.0.1", "127.1" and
//     "0x7f.0.0.1" mean other addresses to other readers, so none of them is
//     read at all;
//   - a name otherwise, made of letters, digits, "-", "_" and "."; anything
//     else is unusable.
Host ParseHost(std::string_view field);

// The four decimal parts of a dotted IPv4 address, each 0 to 255 and
// written without leading zeros; nothing for any other text.
std::optional<platform::IpAddress> ParseDottedIpv4(std::string_view text);

// The address as a URL's host field writes it: "127.0.0.1", "[::1]".
std::string AddressField(const platform::IpAddress& address);
