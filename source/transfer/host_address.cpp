#include "transfer/host_address.h"

#include <algorithm>
#include <cstddef>
#include <string>

namespace {

constexpr int kIpv4Parts = 4;
constexpr int kLargestPart = 255;
constexpr std::size_t kLongestPart = 3;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsNameCharacter(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_' ||
           c == '.';
}

// Whether some reader would take the host for a number: resolvers and
// inet_aton read a host whose last label is decimal, octal or hex digits as
// an address, however many parts it has. A name's last label never is one.
bool EndsInANumber(std::string_view field) {
    if (field.ends_with('.'))
        field.remove_suffix(1);
    const std::size_t dot = field.rfind('.');
    const std::string_view last = dot == std::string_view::npos ? field : field.substr(dot + 1);
    if (last.empty())
        return false;
    if (std::all_of(last.begin(), last.end(), IsDigit))
        return true;
    return (last.starts_with("0x") || last.starts_with("0X")) &&
           std::all_of(last.begin() + 2, last.end(), IsHexDigit);
}

// One part of a dotted address: 1 to 3 digits, no leading zero, 0..255.
std::optional<int> ParsePart(std::string_view part) {
    if (part.empty() || part.size() > kLongestPart ||
        !std::all_of(part.begin(), part.end(), IsDigit))
        return std::nullopt;
    if (part.size() > 1 && part.front() == '0')
        return std::nullopt;
    int value = 0;
    for (const char c : part)
        value = value * 10 + (c - '0');
    if (value > kLargestPart)
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<platform::IpAddress> ParseDottedIpv4(std::string_view text) {
    platform::IpAddress address;
    for (int i = 0; i < kIpv4Parts; ++i) {
        const std::size_t dot = i + 1 < kIpv4Parts ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        const std::optional<int> part = ParsePart(text.substr(0, dot));
        if (!part)
            return std::nullopt;
        address.bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(*part);
        text.remove_prefix(std::min(text.size(), dot + 1));
    }
    return address;
}

Host ParseHost(std::string_view field) {
    Host host;
    if (field.starts_with('[')) {
        if (field.size() < 2 || !field.ends_with(']'))
            return host;
        if (std::optional<platform::IpAddress> address =
                platform::ParseIpv6(std::string(field.substr(1, field.size() - 2)))) {
            host.kind = Host::Kind::kAddress;
            host.address = *address;
        }
        return host;
    }
    if (field.empty() || !std::all_of(field.begin(), field.end(), IsNameCharacter))
        return host;
    if (EndsInANumber(field)) {
        if (std::optional<platform::IpAddress> address = ParseDottedIpv4(field)) {
            host.kind = Host::Kind::kAddress;
            host.address = *address;
        }
        return host;
    }
    host.kind = Host::Kind::kName;
    host.name = std::string(field);
    return host;
}

std::string AddressField(const platform::IpAddress& address) {
    const std::string text = platform::FormatIpAddress(address);
    return address.v6 ? "[" + text + "]" : text;
}
