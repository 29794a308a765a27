// Which HTTP proxy, if any, a request goes through: the one place that
// decides it, for every request of a run.
//
// The settings come from the environment, read as curl reads it:
//   http_proxy or HTTP_PROXY    the proxy for "http://" URLs
//   https_proxy or HTTPS_PROXY  the proxy for "https://" URLs
//   all_proxy or ALL_PROXY      the proxy for either, where the above is unset
//   no_proxy or NO_PROXY        hosts reached directly
// (the lower-case form wins; an empty value counts as unset). On Windows,
// when none of the proxy variables is set, the user's own fixed proxy and
// bypass list are taken (platform::SystemProxySettings); an automatic
// configuration script is not run.
//
// A proxy is named "[http://][USER[:PASSWORD]@]HOST[:PORT][/]", port 1080
// when none is given; USER and PASSWORD are percent-decoded and sent as
// "Basic" credentials. A proxy that is set but cannot be used (another
// scheme, a malformed host or port) is never silently gone around: the
// request fails instead.
#pragma once

#include <optional>
#include <string>

#include "transfer/host_address.h"
#include "transfer/url_and_connection.h"

struct ProxySettings {
    std::string http;     // for "http://" URLs; empty for none
    std::string https;    // for "https://" URLs; empty for none
    std::string noProxy;  // curl's list: "*", or names, addresses and CIDR ranges
    // WinHTTP's bypass list for the system's proxy: "<local>" and patterns
    // with "*"; empty for none.
    std::string systemBypass;
    // Where http and https came from: the variable's name, or "system
    // settings".
    std::string httpOrigin;
    std::string httpsOrigin;
};

// The settings of this process: its environment, or the system's.
ProxySettings CurrentProxySettings();

struct ProxyRoute {
    Url proxy;  // the proxy's host and port (its path is "/")
    Host host;  // the proxy's host as ParseHost reads it, never unusable
    // The "Proxy-Authorization:" value, "Basic ..."; empty without
    // credentials. Never shown anywhere.
    std::string authorization;
    // "http://HOST:PORT (from ORIGIN)": what diagnostics may show of it.
    std::string shown;
};

struct ProxyChoice {
    std::optional<ProxyRoute> route;  // nothing: a direct connection
    // A proxy is set for the URL but cannot be used; `shown` names the
    // setting (never its credentials).
    bool unusable = false;
    std::string shown;
};

// The proxy for `target` under `settings`.
ProxyChoice ChooseProxy(const Url& target, const ProxySettings& settings);

// Whether curl's no_proxy list `list` says `target` is reached directly:
// "*" alone matches every host; otherwise each entry (separated by commas
// or white space, case ignored, a leading "." dropped) matches that name and
// every name below it, or, for an address (brackets optional for IPv6), that
// address or, with "/BITS", that range.
bool NoProxyMatches(const std::string& list, const Url& target);

// Whether WinHTTP's bypass list `list` ("<local>" for names without a dot,
// patterns with "*"; entries separated by ";", "," or white space, case
// ignored) says `target` is reached directly.
bool SystemBypassMatches(const std::string& list, const Url& target);
