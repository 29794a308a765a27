// The socket work of a scripted HTTP peer on 127.0.0.1, free of any test
// framework: the tests' scripted server and the HTTP exchange fuzz target are
// both built on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace testing_support {

// A TCP socket bound to 127.0.0.1 on a port the system picks, listening
// with `backlog`. Throws std::runtime_error when that fails.
int ListenLoopback(int backlog, std::uint16_t* port);
// The same, bound but not listening.
int BindLoopback(std::uint16_t* port);

// Appends what `connection` sends to `request` until the request's empty
// line ("\r\n\r\n") has come, the peer closed, or `waitReadable` gives up.
void ReadRequestInto(int connection, std::string& request,
                     const std::function<bool(int descriptor)>& waitReadable);

// Sends until all is sent or the client has gone.
void SendAll(int connection, std::string_view bytes);

// An orderly close (FIN). Unread bytes at close would turn the peer's
// end-of-stream into a reset, so they are read away first.
void DrainAndClose(int connection);
// An abortive close: the peer sees a reset (RST).
void ResetAndClose(int connection);

}  // namespace testing_support
