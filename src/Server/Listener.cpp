// Listener.cpp - the listening socket, its start-up checks, and the worker pool.
#include "Server/Listener.h"

#include "Server/BindAddress.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Server/HttpConnection.h"
#include "Server/ServerState.h"

namespace {

constexpr rlim_t kSocketsNeeded = 100;

// The socket budget is the descriptor limit: raise the soft limit towards the hard one when
// it is short, and report what is still missing.
bool EnoughSockets() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;
    if (limit.rlim_cur < kSocketsNeeded && limit.rlim_max > limit.rlim_cur) {
        limit.rlim_cur = std::min(limit.rlim_max, kSocketsNeeded);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur >= kSocketsNeeded) return true;
    std::fprintf(stderr, "Not enough TCP sockets available, %d more needed\n",
                 static_cast<int>(kSocketsNeeded - limit.rlim_cur));
    return false;
}

// The official name of "localhost", or empty when the lookup fails.
std::string LocalHostName() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (::getaddrinfo("localhost", nullptr, &hints, &result) != 0 || !result) return {};
    std::string name = result->ai_canonname ? result->ai_canonname : "";
    ::freeaddrinfo(result);
    return name;
}

}  // namespace

CListener::CListener() {
    if (!EnoughSockets()) return;
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.IsValid()) {
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't create server socket.\n", errno);
        return;
    }
    int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    g_state.SetHostNameIfEmpty(LocalHostName());
    m_socket = std::move(fd);
}

CListener::~CListener() {
    StopWorkers();
}

void CListener::Listen(int port, int workers) {
    // A port outside 0-65535 would wrap to another one while pages name the configured value.
    if (port < 0 || port > 65535) {
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't bind the server socket.\n",
                     EINVAL);
        return;
    }
    if (!BindListeningSocket(m_socket, port)) {
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't bind the server socket.\n", errno);
        return;
    }
    // The queue is at least the system's: a short one drops connections under a burst, and
    // every dropped client waits a second or more for its retransmit.
    if (::listen(m_socket.Get(), std::max(workers, SOMAXCONN)) != 0) {
        std::fprintf(stderr,
                     "Windows Socket error %d:  Couldn't setup the server to listen for clients.\n",
                     errno);
        return;
    }
    for (int i = 0; i < workers; ++i)
        m_workers.push_back(CreateWorker());
}

int CListener::BoundPort() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(m_socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

void CListener::StopWorkers() {
    if (m_socket.IsValid()) {
        // Shutting the listening socket makes every pending accept fail, so the workers end.
        ::shutdown(m_socket.Get(), SHUT_RDWR);
    }
    for (auto& worker : m_workers)
        worker->Interrupt();
    for (auto& worker : m_workers)
        worker->Join();
    m_workers.clear();
    if (m_socket.IsValid() && ::close(m_socket.Release()) != 0) {
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't close the server socket.\n",
                     errno);
    }
}

CHttpListener::CHttpListener() {
    if (!IsValid()) return;
    int seconds = kDeferAcceptSeconds;
    ::setsockopt(Socket(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
}

CHttpListener::~CHttpListener() {
    StopWorkers();
}

std::unique_ptr<CServerThread> CHttpListener::CreateWorker() {
    return std::make_unique<CHttpConnection>(Socket(), m_settings);
}
