// URL splitting, the reading of hosts, the proxy choice and the two header
// helpers on arbitrary bytes. A URL either fits the form and yields a host, a
// port and a path that keep its rules, or leaves all three outputs
// untouched; a host read as an IPv4 address is written back exactly as it
// was given, so no two texts name one address.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "transfer/host_address.h"
#include "transfer/http_header.h"
#include "transfer/proxy_choice.h"
#include "transfer/url_and_connection.h"

namespace {

bool HasWhiteSpace(std::string_view text) {
    return text.find_first_of(" \t\n\v\f\r") != std::string_view::npos;
}

void CheckSplit(const std::string& url) {
    // Values no split can produce: a host never holds "/", a port is digits,
    // a path starts with "/".
    const std::string hostBefore = "no/host";
    const std::string portBefore = "no port";
    const std::string pathBefore = "no path";
    std::string host = hostBefore;
    std::string port = portBefore;
    std::string path = pathBefore;
    SplitUrl(url, host, port, path);
    if (host == hostBefore) {
        FUZZ_CHECK(port == portBefore && path == pathBefore);
        return;
    }
    FUZZ_CHECK(url.rfind("http://", 0) == 0);
    FUZZ_CHECK(!host.empty() && host.size() <= 1023);
    FUZZ_CHECK(host.find('/') == std::string::npos);
    FUZZ_CHECK(!path.empty() && path.size() <= 2047 && path.front() == '/');
    FUZZ_CHECK(!HasWhiteSpace(path));
    FUZZ_CHECK(url.find(path) != std::string::npos);
    FUZZ_CHECK(!port.empty() && port.size() <= 7);
    FUZZ_CHECK(port.find_first_not_of("0123456789") == std::string::npos);
    const long number = std::stol(port);
    FUZZ_CHECK(number >= 1 && number <= 65535);
    const Host reading = ParseHost(host);
    if (reading.kind == Host::Kind::kAddress && !reading.address.v6)
        FUZZ_CHECK(AddressField(reading.address) == host);
    if (reading.kind == Host::Kind::kName)
        FUZZ_CHECK(reading.name == host);
}

// Settings made of the input, against a URL made of it too: whatever the
// proxy's text, a choice is made and never shows the password it holds (a
// usable host never holds "%", so the password cannot show through it).
void CheckProxyChoice(const std::string& bytes) {
    const std::optional<Url> target = ParseUrl("http://" + bytes);
    if (!target)
        return;
    ProxySettings settings;
    settings.http = "http://user:se%cret@" + bytes;
    settings.noProxy = bytes;
    settings.systemBypass = bytes;
    const ProxyChoice choice = ChooseProxy(*target, settings);
    FUZZ_CHECK(choice.shown.find("se%cret") == std::string::npos);
    FUZZ_CHECK(!choice.route || choice.route->authorization.starts_with("Basic "));
}

void CheckHeader(std::string_view header) {
    const std::int64_t length = GetContentLength(header);
    FUZZ_CHECK(length >= 0 || length == kUnknownContentLength);
    if (length >= 0)
        FUZZ_CHECK(header.find("Content-Length:") != std::string_view::npos);
    if (IsStatusOk(header))
        FUZZ_CHECK(header.find("200 OK") != std::string_view::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckSplit(bytes);
    CheckSplit("http://" + bytes);
    CheckProxyChoice(bytes);
    CheckHeader(bytes);
    return 0;
}
