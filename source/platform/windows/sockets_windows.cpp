// Windows Sockets 2 behind the platform's socket calls.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/fault_injection_internal.h"
#include "platform/socket_address.h"
#include "platform/windows/wide_path.h"

namespace platform {
namespace {

SOCKET Native(Socket socket) {
    return static_cast<SOCKET>(socket);
}

// One send or receive takes an int count; a longer request is cut, which the
// callers see as a short count, as from any partial send or receive.
int ClampedLength(std::size_t length) {
    return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

}  // namespace

bool StartSockets() {
    // Windows sockets never raise a signal, so, unlike on POSIX, nothing
    // needs to be ignored here.
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopSockets() {
    WSACleanup();
}

Socket CreateTcpSocket(bool v6) {
    // Not inheritable: a script or the main application started while a
    // transfer runs on another thread must not keep its connection open.
    // WSA_FLAG_OVERLAPPED is what socket() would give.
    const SOCKET socket = WSASocketW(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(socket);
}

bool SetNonBlocking(Socket socket) {
    u_long nonBlocking = 1;
    return ioctlsocket(Native(socket), FIONBIO, &nonBlocking) == 0;
}

void CloseSocket(Socket socket) {
    if (socket != kInvalidSocket)
        closesocket(Native(socket));
}

std::vector<IpAddress> ResolveHost(const std::string& name) {
    if constexpr (kTestHooks) {
        if (std::optional<std::vector<IpAddress>> injected = InjectedAddresses(name))
            return *std::move(injected);
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    std::vector<IpAddress> addresses;
    const std::wstring wide = Widen(name);
    if (wide.empty() || GetAddrInfoW(wide.c_str(), nullptr, &hints, &found) != 0)
        return addresses;
    for (const ADDRINFOW* entry = found; entry != nullptr; entry = entry->ai_next)
        AddOnce(addresses, entry->ai_addr);
    FreeAddrInfoW(found);
    return addresses;
}

ConnectStart StartConnect(Socket socket, const IpAddress& address, std::uint16_t port) {
    sockaddr_storage storage;
    const auto length = static_cast<int>(FillSocketAddress(address, port, storage));
    if (connect(Native(socket), reinterpret_cast<const sockaddr*>(&storage), length) == 0)
        return ConnectStart::kConnected;
    return WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::kInProgress : ConnectStart::kFailed;
}

int SocketErrorStatus(Socket socket) {
    int error = 0;
    int length = sizeof error;
    if (getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) != 0) {
        return WSAGetLastError();
    }
    return error;
}

int WaitForSocket(Socket socket, WaitFor what, TimeVal timeout, bool* inSet) {
    *inSet = false;
    if (socket == kInvalidSocket)
        return -1;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(Native(socket), &ready);
    // A refused or failed non-blocking connect shows only in the except set,
    // never in the write set: without it a refusal would wait out the whole
    // timeout. Counted as ready, so the caller's SocketErrorStatus then sees
    // the refusal, as it does on POSIX, where such a socket turns writable.
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(Native(socket), &failed);
    timeval limit{timeout.tv_sec, timeout.tv_usec};
    const bool writable = what == WaitFor::kWritable;
    // The first argument is ignored by Windows Sockets.
    const int result = select(0, writable ? nullptr : &ready, writable ? &ready : nullptr,
                              writable ? &failed : nullptr, &limit);
    if (result == SOCKET_ERROR)
        return -1;
    if (result > 0)
        *inSet =
            FD_ISSET(Native(socket), &ready) || (writable && FD_ISSET(Native(socket), &failed));
    return result;
}

int WaitForConnections(const Socket* sockets, std::size_t count, TimeVal timeout, bool* ready) {
    // fd_set holds FD_SETSIZE (64) sockets; a race has a handful.
    if (count == 0 || count > FD_SETSIZE)
        return -1;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (std::size_t i = 0; i < count; ++i) {
        ready[i] = false;
        FD_SET(Native(sockets[i]), &writable);
        FD_SET(Native(sockets[i]), &failed);
    }
    timeval limit{timeout.tv_sec, timeout.tv_usec};
    // As in WaitForSocket, a refused attempt shows only in the except set.
    const int result = select(0, nullptr, &writable, &failed, &limit);
    if (result == SOCKET_ERROR)
        return -1;
    for (std::size_t i = 0; result > 0 && i < count; ++i) {
        ready[i] = FD_ISSET(Native(sockets[i]), &writable) || FD_ISSET(Native(sockets[i]), &failed);
    }
    return result;
}

long SendSome(Socket socket, const void* data, std::size_t length) {
    if (ShouldFail(FaultKind::kSend))
        return -1;
    const int count =
        send(Native(socket), static_cast<const char*>(data), ClampedLength(length), 0);
    return count == SOCKET_ERROR ? -1 : count;
}

long ReceiveSome(Socket socket, void* buffer, std::size_t length) {
    if (ShouldFail(FaultKind::kReceive))
        return -1;
    const int count = recv(Native(socket), static_cast<char*>(buffer), ClampedLength(length), 0);
    if (count == SOCKET_ERROR)
        return WSAGetLastError() == WSAEWOULDBLOCK ? kReceiveWouldBlock : -1;
    return count;
}

void AdviseLargePages(void* data, std::size_t size) {
    // Windows has no hint of this kind for memory already reserved: large
    // pages come only from VirtualAlloc with MEM_LARGE_PAGES, all committed
    // and locked at once, and only to a holder of the "Lock pages in memory"
    // privilege, which an ordinary user does not have. Nothing to do.
    (void)data;
    (void)size;
}

}  // namespace platform
