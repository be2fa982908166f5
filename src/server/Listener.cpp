// Listener.cpp - the listening socket, its start-up checks, its event loop and workers.
#include "server/Listener.h"

#include "platform/BindAddress.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "server/HttpConnection.h"
#include "server/ServerState.h"
#include "platform/Fd.h"
#include "platform/HostName.h"
#include "platform/Socket.h"

namespace {

constexpr rlim_t kSocketsNeeded = 100;
// Descriptors kept free of connections: standard streams, listeners, the loop's own, the mail
// store's spool, the resolver.
constexpr rlim_t kReservedDescriptors = 16;

// The socket budget is the descriptor limit: every waiting connection holds one, so the soft
// limit is raised to the hard one; report what is still missing.
bool EnoughSockets() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;
    if (limit.rlim_max > limit.rlim_cur) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur >= kSocketsNeeded) return true;
    std::fprintf(stderr, "Not enough TCP sockets available, %d more needed\n",
                 static_cast<int>(kSocketsNeeded - limit.rlim_cur));
    return false;
}

// Connections the descriptor limit carries beside what is open now (the published folders
// keep theirs) and `workers` workers, each of which may hold a file and a spool open. A
// sixteenth more stays free for bursts of files and the other listener. A queued file body
// needs no descriptor of its own: when none is left, its bytes are copied (ReplyQueue).
std::size_t AffordableConnections(int workers) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 1 << 20;
    }
    const long free = static_cast<long>(limit.rlim_cur) - OpenDescriptorCount();
    const long spare = free - free / 16 - static_cast<long>(kReservedDescriptors) - 2L * workers;
    return static_cast<std::size_t>(std::max(spare, static_cast<long>(workers)));
}

// The second line of a failed start: which port and why, in words.
void ReportPortFailure(int port, int error) {
    std::fprintf(stderr, "Cannot listen on port %d: %s\n", port, std::strerror(error));
}

}  // namespace

CListener::CListener() {
    if (!EnoughSockets()) return;
    CFd fd(Sockets::OpenListening());
    if (!fd.IsValid()) {
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't create server socket.\n", errno);
        return;
    }
    g_state.SetHostNameIfEmpty(LocalHostName());
    m_socket = std::move(fd);
}

CListener::~CListener() {
    StopServing();
}

bool CListener::Listen(int port, int workers) {
    // A port outside 0-65535 would wrap to another one while pages name the configured value.
    if (port < 0 || port > 65535) {
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't bind the server socket.\n",
                     EINVAL);
        ReportPortFailure(port, m_error = EINVAL);
        return false;
    }
    if (!BindListeningSocket(m_socket, port)) {
        int error = errno;
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't bind the server socket.\n", error);
        ReportPortFailure(port, m_error = error);
        return false;
    }
    // The queue is at least the system's: a short one drops connections under a burst, and
    // every dropped client waits a second or more for its retransmit.
    if (Sockets::Listen(m_socket.Get(), std::max(workers, SOMAXCONN)) != 0) {
        int error = errno;
        std::fprintf(stderr,
                     "Windows Socket error %d:  Couldn't setup the server to listen for clients.\n",
                     error);
        ReportPortFailure(port, m_error = error);
        return false;
    }
    StartServing(workers);
    return true;
}

int CListener::BoundPort() const {
    return Sockets::BoundPort(m_socket.Get());
}

void CListener::StartServing(int workers) {
    m_loop = std::make_unique<CEventLoop>();
    if (!m_loop->IsValid()) {
        std::fprintf(stderr, "Cannot start the connection loop: %s\n", std::strerror(errno));
        m_loop.reset();
        return;
    }
    Sockets::SetNonBlocking(m_socket.Get());
    m_maxConnections = AffordableConnections(workers);
    m_pool = std::make_unique<CWorkerPool>(workers);
    m_loop->SetTick([this] { Tick(); });
    ResumeAccepting();
    m_loopThread = std::thread([this] { m_loop->Run(); });
}

void CListener::StopServing() {
    if (m_loop) {
        m_pool->Stop();  // pauses in requests end now; queued units are dropped
        m_loop->Stop();
        if (m_loopThread.joinable()) m_loopThread.join();
        // The loop is gone: its connections are ended from here. A worker still busy with one
        // finds it closed and drops the rest of its reply.
        for (auto& [key, connection] : m_connections)
            connection->Close(false);
        WakeWorkers();
        m_pool->Join();
        m_connections.clear();
        m_pool.reset();
        m_loop.reset();
    }
    if (m_socket.IsValid() && ::close(m_socket.Release()) != 0) {
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't close the server socket.\n",
                     errno);
    }
}

void CListener::PauseAccepting() {
    if (!m_accepting) return;
    m_loop->Remove(m_socket.Get());
    m_accepting = false;
}

void CListener::ResumeAccepting() {
    if (m_accepting || m_connections.size() >= m_maxConnections) return;
    m_accepting = m_loop->Add(m_socket.Get(), EPOLLIN, &m_acceptor);
}

void CListener::AcceptAll() {
    while (m_accepting) {
        if (m_connections.size() >= m_maxConnections) {
            PauseAccepting();  // until a connection ends
            return;
        }
        sockaddr_storage peer{};
        CFd fd(Sockets::AcceptNonBlocking(m_socket.Get(), peer));
        if (!fd.IsValid()) {
            int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) return;
            if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
            // Out of descriptors or memory (or the socket was shut): try again at the next tick.
            PauseAccepting();
            return;
        }
        std::shared_ptr<CConnection> connection = Connect(std::move(fd), peer);
        m_connections.emplace(connection.get(), connection);
        connection->Start();
    }
}

void CListener::Forget(CConnection* connection) {
    auto found = m_connections.find(connection);
    if (found == m_connections.end()) return;
    // Events of this batch may still name it.
    m_loop->Defer(std::move(found->second));
    m_connections.erase(found);
    ResumeAccepting();
}

void CListener::Tick() {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        CConnection* connection = (it++)->first;  // Tick may end it, and erase it
        connection->Tick(now);
    }
    ResumeAccepting();
}

CHttpListener::CHttpListener() {
    if (IsValid()) Sockets::DeferAccept(Socket(), kDeferAcceptSeconds);
}

CHttpListener::~CHttpListener() {
    StopServing();
}

std::shared_ptr<CConnection> CHttpListener::Connect(CFd socket, const sockaddr_storage& peer) {
    return std::make_shared<CHttpConnection>(*this, std::move(socket), peer);
}
