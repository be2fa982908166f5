// SmtpWorker.cpp - the blocking driver of SMTP sessions.
#include "smtp/SmtpWorker.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "smtp/SmtpSession.h"

CSmtpWorker::CSmtpWorker(int listenSocket, int timeoutSeconds)
    : m_listenSocket(listenSocket), m_timeoutSeconds(timeoutSeconds) {
    Start();
}

CSmtpWorker::~CSmtpWorker() = default;

void CSmtpWorker::Interrupt() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    if (m_client >= 0) ::shutdown(m_client, SHUT_RDWR);
}

int CSmtpWorker::Run() {
    for (;;) {
        int client = ::accept4(m_listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory for now: the listening socket is still good.
                ::usleep(100 * 1000);
                continue;
            }
            return 12;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_client = client;
            if (m_stopping) ::shutdown(client, SHUT_RDWR);
        }
        timeval limit{m_timeoutSeconds, 0};
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        Serve(client);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_client = -1;
        }
        ::close(client);
        std::fflush(stdout);
    }
}

bool CSmtpWorker::Send(int client, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void CSmtpWorker::Serve(int client) {
    CSmtpSession session;
    if (!Send(client, session.Greeting())) return session.Closed();
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return session.Closed();  // peer gone, time-out or server stop
        std::string_view received(buffer, static_cast<std::size_t>(n));
        while (!received.empty()) {
            received.remove_prefix(session.Feed(received));
            if (!session.HasUnit()) continue;
            CSmtpSession::CResult result = session.RunUnit();
            if (!Send(client, result.m_reply)) return session.Closed();
            if (result.m_close) return;
        }
    }
}
