#include "support/loopback_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace testing_support {
namespace {

#ifdef _WIN32
// Windows Sockets must be started before the first socket call of a
// process; the start is counted, so the updater's own start and stop
// around its exchanges leave this one standing.
void StartSocketsOnce() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        throw std::runtime_error("cannot start Windows Sockets");
}

int PollOne(pollfd& entry, int milliseconds) {
    return WSAPoll(&entry, 1, milliseconds);
}

// Windows Sockets never raise a signal on a closed connection.
constexpr int kNoSignal = 0;
#else
void StartSocketsOnce() {}

int PollOne(pollfd& entry, int milliseconds) {
    return poll(&entry, 1, milliseconds);
}

constexpr int kNoSignal = MSG_NOSIGNAL;
#endif

// A failed call gives kNoSocket on either system (-1, INVALID_SOCKET).
LoopbackSocket NewTcpSocket() {
    StartSocketsOnce();
    return static_cast<LoopbackSocket>(socket(AF_INET, SOCK_STREAM, 0));
}

sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

sockaddr_in6 Ipv6LoopbackAddress(std::uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port);
    return address;
}

// Send and receive take an int count under Windows Sockets.
int Chunk(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

}  // namespace

LoopbackSocket BindLoopback(std::uint16_t* port) {
    const LoopbackSocket made = NewTcpSocket();
    if (made == kNoSocket)
        throw std::runtime_error("cannot create a socket");
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (bind(made, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(made, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        CloseSocket(made);
        throw std::runtime_error("cannot bind to 127.0.0.1");
    }
    *port = ntohs(address.sin_port);
    return made;
}

LoopbackSocket ListenLoopback(int backlog, std::uint16_t* port) {
    const LoopbackSocket listener = BindLoopback(port);
    if (listen(listener, backlog) != 0) {
        CloseSocket(listener);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    return listener;
}

LoopbackSocket ListenIpv6Loopback(int backlog, std::uint16_t* port) {
    StartSocketsOnce();
    const auto made = static_cast<LoopbackSocket>(socket(AF_INET6, SOCK_STREAM, 0));
    if (made == kNoSocket)
        throw std::runtime_error("cannot create an IPv6 socket");
    sockaddr_in6 address = Ipv6LoopbackAddress(*port);
    socklen_t length = sizeof address;
    if (bind(made, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(made, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        listen(made, backlog) != 0) {
        CloseSocket(made);
        throw std::runtime_error("cannot listen on [::1]");
    }
    *port = ntohs(address.sin6_port);
    return made;
}

LoopbackSocket ConnectIpv6Loopback(std::uint16_t port) {
    StartSocketsOnce();
    const auto made = static_cast<LoopbackSocket>(socket(AF_INET6, SOCK_STREAM, 0));
    const sockaddr_in6 address = Ipv6LoopbackAddress(port);
    if (made != kNoSocket &&
        connect(made, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        CloseSocket(made);
        return kNoSocket;
    }
    return made;
}

LoopbackSocket ConnectLoopback(std::uint16_t port) {
    const LoopbackSocket made = NewTcpSocket();
    const sockaddr_in address = LoopbackAddress(port);
    if (made != kNoSocket &&
        connect(made, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        CloseSocket(made);
        return kNoSocket;
    }
    return made;
}

LoopbackSocket AcceptConnection(LoopbackSocket listener) {
    return static_cast<LoopbackSocket>(accept(listener, nullptr, nullptr));
}

bool ReadableWithin(LoopbackSocket socket, int milliseconds) {
    pollfd entry{};
    entry.fd = socket;
    entry.events = POLLIN;
    return PollOne(entry, milliseconds) > 0;
}

long ReceiveSome(LoopbackSocket socket, char* buffer, std::size_t size) {
    return static_cast<long>(recv(socket, buffer, Chunk(size), 0));
}

void LimitReceiveWait(LoopbackSocket socket, int seconds) {
#ifdef _WIN32
    const DWORD limit = static_cast<DWORD>(seconds) * 1000;  // milliseconds
#else
    const timeval limit{seconds, 0};
#endif
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
               sizeof limit);
}

void CloseSocket(LoopbackSocket socket) {
    if (socket == kNoSocket)
        return;
#ifdef _WIN32
    closesocket(socket);
#else
    close(socket);
#endif
}

void ReadRequestInto(LoopbackSocket connection, std::string& request,
                     const std::function<bool(LoopbackSocket socket)>& waitReadable) {
    const std::size_t start = request.size();
    char buffer[1024];
    while (request.find("\r\n\r\n", start) == std::string::npos && waitReadable(connection)) {
        const long count = ReceiveSome(connection, buffer, sizeof buffer);
        if (count <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(count));
    }
}

void SendAll(LoopbackSocket connection, std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto count =
            send(connection, bytes.data() + sent, Chunk(bytes.size() - sent), kNoSignal);
        if (count < 0)
            return;
        sent += static_cast<std::size_t>(count);
    }
}

void DrainAndClose(LoopbackSocket connection) {
    char scratch[4096];
#ifdef _WIN32
    // No per-call "don't wait" flag here: the socket itself stops waiting.
    u_long nonBlocking = 1;
    ioctlsocket(connection, FIONBIO, &nonBlocking);
    while (recv(connection, scratch, sizeof scratch, 0) > 0) {
    }
#else
    while (recv(connection, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
    }
#endif
    CloseSocket(connection);
}

void ResetAndClose(LoopbackSocket connection) {
    linger abortive{};
    abortive.l_onoff = 1;
    abortive.l_linger = 0;
    setsockopt(connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
               sizeof abortive);
    CloseSocket(connection);
}

}  // namespace testing_support
