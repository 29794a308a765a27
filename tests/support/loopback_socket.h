// The socket work of a scripted HTTP peer on 127.0.0.1, free of any test
// framework: the tests' scripted server and the HTTP exchange fuzz target are
// both built on it. The same code runs on POSIX sockets and on Windows
// Sockets; the few calls that differ between them are here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace testing_support {

// A descriptor on POSIX; a SOCKET (a pointer-sized handle whose invalid
// value is all ones) under Windows Sockets.
#ifdef _WIN32
using LoopbackSocket = std::uintptr_t;
inline constexpr LoopbackSocket kNoSocket = ~LoopbackSocket{0};
#else
using LoopbackSocket = int;
inline constexpr LoopbackSocket kNoSocket = -1;
#endif

// A TCP socket bound to 127.0.0.1 on a port the system picks, listening
// with `backlog`. Throws std::runtime_error when that fails.
LoopbackSocket ListenLoopback(int backlog, std::uint16_t* port);
// The same, bound but not listening.
LoopbackSocket BindLoopback(std::uint16_t* port);
// A TCP socket listening on [::1] at `*port` (0: a port the system picks,
// written back), with `backlog`. Throws std::runtime_error when that fails.
LoopbackSocket ListenIpv6Loopback(int backlog, std::uint16_t* port);
// A socket connected to [::1]:`port`, kNoSocket when the connection fails.
LoopbackSocket ConnectIpv6Loopback(std::uint16_t port);
// A socket connected to 127.0.0.1:`port`, kNoSocket when the connection
// fails.
LoopbackSocket ConnectLoopback(std::uint16_t port);
// The connection `listener` has waiting, kNoSocket when there is none.
LoopbackSocket AcceptConnection(LoopbackSocket listener);

// True when `socket` becomes readable (or the peer closes or resets)
// within `milliseconds`.
bool ReadableWithin(LoopbackSocket socket, int milliseconds);
// One receive; the count, 0 when the peer closed, negative on failure.
long ReceiveSome(LoopbackSocket socket, char* buffer, std::size_t size);
// Makes a blocking receive fail after `seconds` of silence.
void LimitReceiveWait(LoopbackSocket socket, int seconds);
// Closes `socket` as it is (kNoSocket is left alone).
void CloseSocket(LoopbackSocket socket);

// Appends what `connection` sends to `request` until the request's empty
// line ("\r\n\r\n") has come, the peer closed, or `waitReadable` gives up.
void ReadRequestInto(LoopbackSocket connection, std::string& request,
                     const std::function<bool(LoopbackSocket socket)>& waitReadable);

// Sends until all is sent or the client has gone.
void SendAll(LoopbackSocket connection, std::string_view bytes);

// An orderly close (FIN). Unread bytes at close would turn the peer's
// end-of-stream into a reset, so they are read away first.
void DrainAndClose(LoopbackSocket connection);
// An abortive close: the peer sees a reset (RST).
void ResetAndClose(LoopbackSocket connection);

}  // namespace testing_support
