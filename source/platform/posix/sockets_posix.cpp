#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/fault_injection_internal.h"
#include "platform/socket_address.h"

namespace platform {

bool StartSockets() {
    // A peer that closes early must give an error code, never kill the
    // process; sends also pass MSG_NOSIGNAL, this covers any other write.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void StopSockets() {}

Socket CreateTcpSocket(bool v6) {
    const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    return fd < 0 ? kInvalidSocket : fd;
}

bool SetNonBlocking(Socket socket) {
    const int flags = fcntl(socket, F_GETFL, 0);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

void CloseSocket(Socket socket) {
    if (socket != kInvalidSocket)
        close(socket);
}

std::vector<IpAddress> ResolveHost(const std::string& name) {
    if constexpr (kTestHooks) {
        if (std::optional<std::vector<IpAddress>> injected = InjectedAddresses(name))
            return *std::move(injected);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<IpAddress> addresses;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0)
        return addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next)
        AddOnce(addresses, entry->ai_addr);
    freeaddrinfo(found);
    return addresses;
}

ConnectStart StartConnect(Socket socket, const IpAddress& address, std::uint16_t port) {
    sockaddr_storage storage;
    const auto length = static_cast<socklen_t>(FillSocketAddress(address, port, storage));
    if (connect(socket, reinterpret_cast<const sockaddr*>(&storage), length) == 0)
        return ConnectStart::kConnected;
    return errno == EINPROGRESS ? ConnectStart::kInProgress : ConnectStart::kFailed;
}

int SocketErrorStatus(Socket socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

int WaitForSocket(Socket socket, WaitFor what, TimeVal timeout, bool* inSet) {
    *inSet = false;
    if (socket < 0 || socket >= FD_SETSIZE)
        return -1;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval limit{timeout.tv_sec, timeout.tv_usec};
    fd_set* readSet = what == WaitFor::kReadable ? &set : nullptr;
    fd_set* writeSet = what == WaitFor::kWritable ? &set : nullptr;
    int result;
    do {
        result = select(socket + 1, readSet, writeSet, nullptr, &limit);
    } while (result < 0 && errno == EINTR);
    if (result > 0)
        *inSet = FD_ISSET(socket, &set) != 0;
    return result;
}

int WaitForConnections(const Socket* sockets, std::size_t count, TimeVal timeout, bool* ready) {
    std::vector<pollfd> polled(count);
    for (std::size_t i = 0; i < count; ++i) {
        polled[i].fd = sockets[i];
        polled[i].events = POLLOUT;
        ready[i] = false;
    }
    const long long milliseconds =
        static_cast<long long>(timeout.tv_sec) * 1000 + (timeout.tv_usec + 999) / 1000;
    int result;
    do {
        result = poll(polled.data(), polled.size(), static_cast<int>(milliseconds));
    } while (result < 0 && errno == EINTR);
    // A refused or failed attempt shows as POLLERR or POLLHUP as well as, or
    // instead of, POLLOUT; either way the attempt is over.
    for (std::size_t i = 0; result > 0 && i < count; ++i)
        ready[i] = (polled[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    return result;
}

long SendSome(Socket socket, const void* data, std::size_t length) {
    if (ShouldFail(FaultKind::kSend))
        return -1;
    return static_cast<long>(send(socket, data, length, MSG_NOSIGNAL));
}

long ReceiveSome(Socket socket, void* buffer, std::size_t length) {
    if (ShouldFail(FaultKind::kReceive))
        return -1;
    const ssize_t count = recv(socket, buffer, length, 0);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return kReceiveWouldBlock;
    }
    return static_cast<long>(count);
}

void AdviseLargePages(void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    // Only whole large pages inside the buffer, never a neighbour's memory.
    constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (begin + size) & ~(kLargePage - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace platform
