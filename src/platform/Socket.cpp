// Socket.cpp - thin wrappers over the socket calls; no policy beyond the flags every caller
// wants (close-on-exec, no SIGPIPE, non-blocking for accepted connections).
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Sockets {

int OpenListening() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return fd;
}

int Listen(int fd, int backlog) {
    return ::listen(fd, backlog);
}

int BoundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

void DeferAccept(int fd, int seconds) {
    ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
}

void SetNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void Shutdown(int fd) {
    ::shutdown(fd, SHUT_RDWR);
}

int AcceptNonBlocking(int listenFd, sockaddr_storage& peer) {
    peer = {};
    socklen_t length = sizeof peer;
    return ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length,
                     SOCK_CLOEXEC | SOCK_NONBLOCK);
}

std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text,
                    sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const in6_addr& a6 = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a6)) {
            ::inet_ntop(AF_INET, &a6.s6_addr[12], text, sizeof text);  // IPv4 on a dual socket
        } else {
            ::inet_ntop(AF_INET6, &a6, text, sizeof text);
        }
    }
    return text;
}

bool IsTransientAcceptError(int error) {
    return error == EINTR || error == ECONNABORTED || error == EPROTO || error == EMFILE ||
           error == ENFILE || error == ENOBUFS || error == ENOMEM || error == EPERM ||
           error == EAGAIN || error == EWOULDBLOCK;
}

ssize_t SendSome(int fd, const char* data, std::size_t length, bool more) {
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
    for (;;) {
        ssize_t n = ::send(fd, data, length, flags);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

ssize_t SendFileSome(int fd, int fileFd, std::int64_t* offset, std::size_t length) {
    off_t at = static_cast<off_t>(*offset);
    for (;;) {
        ssize_t n = ::sendfile(fd, fileFd, &at, length);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) *offset = at;
        return n;
    }
}

ssize_t ReceiveSome(int fd, char* data, std::size_t length) {
    for (;;) {
        ssize_t n = ::recv(fd, data, length, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

void ShutdownWrite(int fd) {
    ::shutdown(fd, SHUT_WR);
}

void DrainReceived(int fd, std::size_t limit) {
    char sink[4096];
    for (std::size_t drained = 0; drained < limit;) {
        ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) break;
        drained += static_cast<std::size_t>(n);
    }
}

}  // namespace Sockets
