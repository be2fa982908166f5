// BindAddress.cpp - the choice of family and address for the listening sockets.
#include "platform/BindAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

namespace {

std::mutex g_addressLock;
std::string g_address;  // guarded by g_addressLock

bool BindIpv4(CFd& socket, const in_addr& address, int port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr = address;
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::bind(socket.Get(), reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
}

// On success `socket` becomes the bound IPv6 socket; on failure it stays as it was.
bool BindIpv6(CFd& socket, const in6_addr& address, int port) {
    CFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.IsValid()) return false;
    int off = 0, on = 1;
    ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);  // IPv4 too, mapped
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Options the listener set on the socket this one replaces.
    int defer = 0;
    socklen_t length = sizeof defer;
    if (::getsockopt(socket.Get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, &length) == 0 &&
        defer > 0) {
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer);
    }
    sockaddr_in6 where{};
    where.sin6_family = AF_INET6;
    where.sin6_addr = address;
    where.sin6_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) return false;
    socket = std::move(fd);
    return true;
}

}  // namespace

void SetListenAddress(std::string address) {
    std::scoped_lock guard(g_addressLock);
    g_address = std::move(address);
}

bool BindListeningSocket(CFd& socket, int port) {
    std::string address;
    {
        std::scoped_lock guard(g_addressLock);
        address = g_address;
    }
    if (address.empty()) {
        if (BindIpv6(socket, in6addr_any, port)) return true;
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        return BindIpv4(socket, any, port);  // no IPv6 on this host
    }
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    in6_addr ipv6{};
    if (::inet_pton(AF_INET6, address.c_str(), &ipv6) == 1) {
        if (BindIpv6(socket, ipv6, port)) return true;
        if (errno == 0) errno = EADDRNOTAVAIL;
        return false;
    }
    in_addr ipv4{};
    if (::inet_pton(AF_INET, address.c_str(), &ipv4) == 1) return BindIpv4(socket, ipv4, port);
    errno = EINVAL;
    return false;
}
