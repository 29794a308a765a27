#include "transfer/proxy_choice.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "transfer/decimal_scan.h"
#include "transfer/host_address.h"
#include "trust/base64.h"

namespace {

constexpr std::string_view kProxyScheme = "http://";
constexpr std::string_view kDefaultProxyPort = "1080";
constexpr std::int64_t kLargestPort = 65535;

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lowered(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), Lower);
    return lowered;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && Lowered(text.substr(0, prefix.size())) == prefix;
}

// The first of the variables that is set and not empty, with its name.
std::pair<std::string, std::string> FirstSet(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (std::optional<std::string> value = platform::EnvironmentVariable(name);
            value && !value->empty()) {
            return {*value, name};
        }
    }
    return {};
}

std::vector<std::string_view> SplitList(std::string_view list, std::string_view separators) {
    std::vector<std::string_view> entries;
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t end = std::min(list.find_first_of(separators, at), list.size());
        if (end > at)
            entries.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return entries;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "%XX" sequences decoded; a "%" not followed by two hex digits stays.
std::string PercentDecoded(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            decoded.push_back(
                static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            decoded.push_back(text[i]);
        }
    }
    return decoded;
}

// Reads "[http://][USER[:PASSWORD]@]HOST[:PORT][/...]"; nothing when it
// names no usable HTTP proxy.
std::optional<ProxyRoute> ParseProxy(std::string_view text, const std::string& origin) {
    if (const std::size_t scheme = text.find("://"); scheme != std::string_view::npos) {
        if (!StartsWithIgnoringCase(text, kProxyScheme))
            return std::nullopt;
        text.remove_prefix(kProxyScheme.size());
    }
    text = text.substr(0, std::min(text.find('/'), text.size()));
    ProxyRoute route;
    if (const std::size_t at = text.rfind('@'); at != std::string_view::npos) {
        const std::string_view userInfo = text.substr(0, at);
        const std::size_t colon = userInfo.find(':');
        const std::string user = PercentDecoded(userInfo.substr(0, colon));
        const std::string password =
            colon == std::string_view::npos ? "" : PercentDecoded(userInfo.substr(colon + 1));
        route.authorization = "Basic " + EncodeBase64(user + ":" + password);
        text.remove_prefix(at + 1);
    }
    std::string_view port = kDefaultProxyPort;
    std::size_t portFrom = 0;
    if (text.starts_with('['))
        portFrom = std::min(text.find(']'), text.size());
    if (const std::size_t colon = text.find(':', portFrom); colon != std::string_view::npos) {
        port = text.substr(colon + 1);
        text = text.substr(0, colon);
    }
    if (port.empty() || port.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const std::optional<std::int64_t> number = ScanDecimal(port, kLargestPort);
    if (!number || *number < 1)
        return std::nullopt;
    route.host = ParseHost(text);
    if (route.host.kind == Host::Kind::kUnusable)
        return std::nullopt;
    route.proxy = Url{false, std::string(text), std::to_string(*number), "/"};
    route.shown = FormatUrl(route.proxy);
    route.shown.pop_back();  // the "/" no proxy URL needs
    route.shown += " (from " + origin + ")";
    return route;
}

// The part of WinHTTP's proxy text for `scheme`: "scheme=HOST:PORT" when the
// text gives one, else an entry without a scheme; empty for none.
std::string SystemProxyFor(std::string_view text, std::string_view scheme) {
    std::string general;
    for (const std::string_view entry : SplitList(text, "; \t")) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            if (general.empty())
                general = std::string(entry);
        } else if (Lowered(entry.substr(0, equals)) == scheme) {
            return std::string(entry.substr(equals + 1));
        }
    }
    return general;
}

// Whether `address` lies in the range of `prefix` that its first `bits`
// bits give.
bool InRange(const platform::IpAddress& address, const platform::IpAddress& prefix, int bits) {
    if (address.v6 != prefix.v6)
        return false;
    for (std::size_t i = 0; bits > 0; ++i, bits -= 8) {
        const int mask = bits >= 8 ? 0xFF : (0xFF << (8 - bits)) & 0xFF;
        if ((address.bytes[i] & mask) != (prefix.bytes[i] & mask))
            return false;
    }
    return true;
}

// One address entry of no_proxy ("10.0.0.0/8", "::1", "[::1]") against
// the target's address.
bool AddressEntryMatches(std::string_view entry, const platform::IpAddress& address) {
    std::string_view bitsText;
    if (const std::size_t slash = entry.find('/'); slash != std::string_view::npos) {
        bitsText = entry.substr(slash + 1);
        entry = entry.substr(0, slash);
    }
    if (entry.starts_with('[') && entry.ends_with(']'))
        entry = entry.substr(1, entry.size() - 2);
    const std::optional<platform::IpAddress> prefix =
        address.v6 ? platform::ParseIpv6(std::string(entry)) : ParseDottedIpv4(entry);
    if (!prefix)
        return false;
    const int width = address.v6 ? 128 : 32;
    int bits = width;
    if (!bitsText.empty()) {
        const std::optional<std::int64_t> given = ScanDecimal(bitsText, width);
        if (!given || bitsText.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        bits = static_cast<int>(*given);
    }
    return InRange(address, *prefix, bits);
}

// "*" anywhere in `pattern` stands for any run of characters. Each "*"
// is moved on at most once per character of `text`, so a pattern with many
// of them costs no more than the product of the two lengths.
bool WildcardMatches(std::string_view pattern, std::string_view text) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// The host as lists compare it: lower case, no trailing dot.
std::string ComparedHost(const Url& target) {
    std::string host = Lowered(target.host);
    if (host.ends_with('.'))
        host.pop_back();
    return host;
}

}  // namespace

ProxySettings CurrentProxySettings() {
    ProxySettings settings;
    const auto [all, allOrigin] = FirstSet({"all_proxy", "ALL_PROXY"});
    std::tie(settings.http, settings.httpOrigin) = FirstSet({"http_proxy", "HTTP_PROXY"});
    std::tie(settings.https, settings.httpsOrigin) = FirstSet({"https_proxy", "HTTPS_PROXY"});
    settings.noProxy = FirstSet({"no_proxy", "NO_PROXY"}).first;
    const bool anyVariable = !settings.http.empty() || !settings.https.empty() || !all.empty();
    if (anyVariable) {
        if (settings.http.empty())
            std::tie(settings.http, settings.httpOrigin) = std::pair(all, allOrigin);
        if (settings.https.empty())
            std::tie(settings.https, settings.httpsOrigin) = std::pair(all, allOrigin);
        return settings;
    }
    if (const std::optional<platform::SystemProxy> system = platform::SystemProxySettings()) {
        settings.http = SystemProxyFor(system->proxy, "http");
        settings.https = SystemProxyFor(system->proxy, "https");
        settings.httpOrigin = settings.httpsOrigin = "system settings";
        settings.systemBypass = system->bypass;
    }
    return settings;
}

ProxyChoice ChooseProxy(const Url& target, const ProxySettings& settings) {
    const std::string& text = target.secure ? settings.https : settings.http;
    if (text.empty() || NoProxyMatches(settings.noProxy, target) ||
        SystemBypassMatches(settings.systemBypass, target)) {
        return {};
    }
    const std::string& origin = target.secure ? settings.httpsOrigin : settings.httpOrigin;
    ProxyChoice choice;
    choice.route = ParseProxy(text, origin);
    choice.unusable = !choice.route;
    choice.shown = choice.route ? choice.route->shown : "the proxy " + origin + " names";
    return choice;
}

bool NoProxyMatches(const std::string& list, const Url& target) {
    const std::vector<std::string_view> entries = SplitList(list, ", \t");
    if (entries.size() == 1 && entries.front() == "*")
        return true;
    const Host host = ParseHost(target.host);
    const std::string name = ComparedHost(target);
    for (std::string_view entry : entries) {
        if (host.kind == Host::Kind::kAddress) {
            if (AddressEntryMatches(entry, host.address))
                return true;
            continue;
        }
        std::string pattern = Lowered(entry);
        if (pattern.starts_with('.'))
            pattern.erase(0, 1);
        if (pattern.ends_with('.'))
            pattern.pop_back();
        if (!pattern.empty() && (name == pattern || name.ends_with("." + pattern)))
            return true;
    }
    return false;
}

bool SystemBypassMatches(const std::string& list, const Url& target) {
    const std::string name = ComparedHost(target);
    for (const std::string_view entry : SplitList(list, ";, \t")) {
        const std::string pattern = Lowered(entry);
        if (pattern == "<local>") {
            if (name.find_first_of(".:") == std::string::npos)
                return true;
        } else if (WildcardMatches(pattern, name) ||
                   WildcardMatches(pattern, name + ":" + target.portText)) {
            return true;
        }
    }
    return false;
}
