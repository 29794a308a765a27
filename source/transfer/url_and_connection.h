// From a URL to a connected socket: the split of "http[s]://host[:port]/path"
// and the non-blocking connection, raced over the host's IPv6 and IPv4
// addresses, with a time-out.
//
// Worker thread only, one connection at a time.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"
#include "transfer/host_address.h"
#include "vocabulary/error_codes.h"

// The parts of a URL the exchange uses.
struct Url {
    bool secure = false;   // "https://": the exchange runs over TLS
    std::string host;      // as the URL writes it: a name, dotted IPv4 digits or "[IPv6]"
    std::string portText;  // decimal 1..65535
    std::string path;      // begins with "/", query included, no white space
};

// Reads a URL of the form "http://" or "https://" (exact case), a host field
// of 1 to 1023 bytes up to the first "/", and a path of 1 to 2047 bytes that
// begins with that "/" and is cut at the first white space. The host field
// may end in ":" and a port number 1..65535 (characters after the number are
// ignored); without one the port is 80 for "http://" and 443 for "https://".
// An IPv6 address stands in brackets ("http://[::1]:8080/"); the port's ":"
// is the first after them. What the host names is ParseHost's to say.
// Nothing when the URL does not fit: a URL that would only half fit is
// refused rather than read as something else (a port that is not a number or
// lies outside 1..65535, a ":" with no name before it, a host field over 1023
// bytes, a path over 2047 bytes).
std::optional<Url> ParseUrl(const std::string& url);

// The URL's text as ParseUrl would read it back: the scheme, the host, the
// port only where it is not the scheme's default, and the path.
std::string FormatUrl(const Url& url);

// The split of a plain "http://" URL by ParseUrl's rules (port text "80"
// when none is given), for callers that know only plain HTTP; an "https://"
// URL does not fit. Writes all three outputs when the URL fits, none of them
// when it does not.
void SplitUrl(const std::string& url, std::string& host, std::string& portText, std::string& path);

// Connects a new non-blocking TCP socket to `host` at `portText`, waiting
// at most `timeout` for the connection. A name is first looked up
// (LookUpName), the lookup's wait charged to `budget`, the exchange's time
// budget: a resolver may take seconds to retry a lost question, which the
// connection's short time-out would not allow. A name's addresses are
// tried as RFC 8305 describes: alternating between the families, the
// system's first choice first; each attempt gets a head start of 250 ms (an
// attempt that fails sooner lets the next one start at once), the first
// connection made wins and every other attempt is closed. CancelRequested()
// is asked at least every 250 ms.
//
// Returns kOk with `socketOut` open, `addressOut` the address it reached and
// (when it had to wait) `timeout` reduced by the time waited; a connection
// made at once leaves it untouched. Otherwise a code, with every socket
// already closed:
//   kTimeBudgetSpent  the connection was made only once the time-out had
//       been reached
//   kSocketSetupFailed  no socket can be created or made non-blocking, or
//       the wait failed
//   kConnectionRefused  every address refused (at once, or found refused
//       after the wait), or the port text is not a port number
//   kConnectTimedOut  no connection within the time-out
//   kUrlUnusableOrWaitFailed  the name does not resolve (or not within the
//       budget), or the host is unusable (ParseHost), so nothing is sent
//       anywhere
//   kCancelled  CancelRequested() answered true
ErrorCode ConnectWithTimeout(const Host& host, const std::string& portText,
                             platform::TimeVal& timeout, platform::TimeVal& budget,
                             platform::Socket& socketOut, platform::IpAddress& addressOut);
