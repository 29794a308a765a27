#include "support/loopback_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testing_support {

int BindLoopback(std::uint16_t* port) {
    const int descriptor = socket(AF_INET, SOCK_STREAM, 0);
    if (descriptor < 0)
        throw std::runtime_error("cannot create a socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(descriptor);
        throw std::runtime_error("cannot bind to 127.0.0.1");
    }
    *port = ntohs(address.sin_port);
    return descriptor;
}

int ListenLoopback(int backlog, std::uint16_t* port) {
    const int descriptor = BindLoopback(port);
    if (listen(descriptor, backlog) != 0) {
        close(descriptor);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    return descriptor;
}

void ReadRequestInto(int connection, std::string& request,
                     const std::function<bool(int descriptor)>& waitReadable) {
    const std::size_t start = request.size();
    char buffer[1024];
    while (request.find("\r\n\r\n", start) == std::string::npos && waitReadable(connection)) {
        const ssize_t count = recv(connection, buffer, sizeof buffer, 0);
        if (count <= 0)
            return;
        request.append(buffer, static_cast<std::size_t>(count));
    }
}

void SendAll(int connection, std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count =
            send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0)
            return;
        sent += static_cast<std::size_t>(count);
    }
}

void DrainAndClose(int connection) {
    char scratch[4096];
    while (recv(connection, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
    }
    close(connection);
}

void ResetAndClose(int connection) {
    linger abortive{1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(connection);
}

}  // namespace testing_support
