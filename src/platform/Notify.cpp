// Notify.cpp - one AF_UNIX datagram per status message; the socket lives only for the send, so
// a report from any thread needs no shared descriptor.
#include "platform/Notify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/Fd.h"

std::string NotifySocketPath() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    return path ? std::string(path) : std::string();
}

bool SendNotify(const std::string& socketPath, std::string_view message) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // An abstract name keeps its NUL in front and is not terminated; a path is.
    const bool abstract = !socketPath.empty() && socketPath[0] == '@';
    if (socketPath.size() < 2 && (abstract || socketPath.empty())) {
        errno = EINVAL;
        return false;
    }
    if (socketPath.size() >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    if (abstract) address.sun_path[0] = '\0';
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size() +
                                              (abstract ? 0 : 1));

    CFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!socket.IsValid()) return false;
    ssize_t sent;
    do {
        sent = ::sendto(socket.Get(), message.data(), message.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return false;
    if (static_cast<std::size_t>(sent) != message.size()) {
        errno = EMSGSIZE;
        return false;
    }
    return true;
}
