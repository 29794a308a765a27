// From a URL to a connected socket: the split of "http://host[:port]/path"
// and the non-blocking IPv4 connection with a time-out.
//
// Worker thread only, one connection at a time.
#pragma once

#include <string>

#include "platform/platform.h"
#include "vocabulary/error_codes.h"

// Splits a URL of the form "http://" (exact case), a host field of 1 to 1023
// bytes up to the first "/", and a path of 1 to 2047 bytes that begins with
// that "/" and is cut at the first white space. The host field may end in ":"
// and a port number 1..65535 (characters after the number are ignored);
// without one the port text is "80".
//
// Writes all three outputs when the URL fits, none of them when it does not.
// A URL that would only half fit is refused rather than read as something
// else: a port that is not a number or lies outside 1..65535, a ":" with no
// name before it, a host field over 1023 bytes, or a path over 2047 bytes.
void SplitUrl(const std::string& url, std::string& host, std::string& portText, std::string& path);

// Connects a new non-blocking IPv4 TCP socket to `host` (dotted digits are
// taken as an address, anything else is resolved) at `portText`, waiting at
// most `timeout`. `socketOut` receives the handle as soon as it exists.
//
// Returns kOk with the socket open (and, when it had to wait, `timeout`
// reduced by the time waited; a connection made at once leaves it untouched),
// or a code with the socket already closed:
//   kTimeBudgetSpent  the socket became ready only once the time-out had been
//       reached
//   kSocketSetupFailed  the socket cannot be created or made non-blocking, or
//       the wait failed
//   kConnectionRefused  the connection was refused (at once, or found refused
//       after the wait), or the port text is not a port number
//   kConnectTimedOut  no connection within the time-out
//   kWaitFailedOrUnresolved  the host does not resolve (an empty host or
//       malformed dotted address included, so such a host never sends
//       traffic to the broadcast address)
ErrorCode ConnectWithTimeout(std::string host, std::string portText, platform::TimeVal& timeout,
                             platform::Socket& socketOut);
