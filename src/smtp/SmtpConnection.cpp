// SmtpConnection.cpp - an SMTP session driven by the event loop and the worker pool.
#include "smtp/SmtpConnection.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <unistd.h>

#include "server/WorkerPool.h"
#include "platform/Socket.h"
#include "smtp/SmtpListener.h"

namespace {

constexpr std::size_t kReceiveChunk = 64 * 1024;
constexpr std::size_t kDrainLimit = 64 * 1024;

}  // namespace

CSmtpConnection::CSmtpConnection(CSmtpListener& owner, CFd socket)
    : m_owner(owner), m_socket(std::move(socket)) {}

CSmtpConnection::~CSmtpConnection() = default;

void CSmtpConnection::Start() {
    m_lastActivity = std::chrono::steady_clock::now();
    Reply(m_session.Greeting(), false);
}

void CSmtpConnection::Watch(std::uint32_t events) {
    if (m_watched) {
        m_owner.Loop().Modify(m_socket.Get(), events, this);
    } else {
        m_watched = m_owner.Loop().Add(m_socket.Get(), events, this);
    }
}

void CSmtpConnection::Unwatch() {
    if (!m_watched) return;
    m_owner.Loop().Remove(m_socket.Get());
    m_watched = false;
}

void CSmtpConnection::OnEvents(std::uint32_t events) {
    if (m_phase == EPhase::Sending) {
        SendPending();
    } else if (m_phase == EPhase::Reading) {
        Read();
    } else if (events & (EPOLLHUP | EPOLLERR)) {
        Close();
    }
}

void CSmtpConnection::Read() {
    char chunk[kReceiveChunk];
    ssize_t n = Sockets::ReceiveSome(m_socket.Get(), chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        Close();  // the client went away (or the read failed): what is pending is dropped
        return;
    }
    m_lastActivity = std::chrono::steady_clock::now();
    m_held.append(chunk, static_cast<std::size_t>(n));
    FeedHeld();
}

void CSmtpConnection::FeedHeld() {
    // A loop, not a recursion through Reply: a client may send thousands of commands at once.
    for (;;) {
        std::size_t taken = m_session.Feed(m_held);
        m_held.erase(0, taken);
        if (!m_session.HasUnit()) {
            Watch(EPOLLIN);
            return;
        }
        // Commands that touch no disk are answered here: a hand-off would cost two thread
        // wake-ups per command. The end of DATA (the store and its sync) goes to a worker.
        CSmtpSession::CResult now;
        if (!m_session.RunUnitNow(now)) break;
        m_lastActivity = std::chrono::steady_clock::now();
        StartReply(std::move(now.m_reply), now.m_close);
        if (!Flush()) return;
    }
    Unwatch();  // nothing more is read until the unit is answered
    m_phase = EPhase::Working;
    {
        std::scoped_lock guard(m_sessionLock);
        m_unitRunning = true;
    }
    m_owner.Pool().Submit([self = shared_from_this()](unsigned threadId) { self->Work(threadId); });
}

void CSmtpConnection::Work(unsigned) {
    CSmtpSession::CResult result;
    try {
        result = m_session.RunUnit();
    } catch (const std::exception& error) {
        // The session bounds its own memory; anything else ends this client, not the server.
        std::fprintf(stderr, "SMTP command failed: %s\n", error.what());
        result = {"451 Requested action aborted: local error in processing\r\n", true};
    }
    {
        std::scoped_lock guard(m_sessionLock);
        m_unitRunning = false;
        if (m_phase == EPhase::Closed && !m_ended) {
            m_ended = true;
            m_session.Closed();
        }
    }
    std::fflush(stdout);
    m_owner.Loop().Post([self = shared_from_this(), result = std::move(result)]() mutable {
        self->WorkDone(std::move(result));
    });
}

void CSmtpConnection::WorkDone(CSmtpSession::CResult result) {
    if (m_phase != EPhase::Working) return;
    m_lastActivity = std::chrono::steady_clock::now();
    Reply(std::move(result.m_reply), result.m_close);
}

void CSmtpConnection::StartReply(std::string bytes, bool close) {
    m_out = std::move(bytes);
    m_outAt = 0;
    m_closeAfterReply = close;
    m_phase = EPhase::Sending;
}

void CSmtpConnection::Reply(std::string bytes, bool close) {
    StartReply(std::move(bytes), close);
    SendPending();
}

void CSmtpConnection::SendPending() {
    // A client that sent its commands at once has the next ones waiting here already.
    if (Flush()) FeedHeld();
}

bool CSmtpConnection::Flush() {
    while (m_outAt < m_out.size()) {
        ssize_t n = Sockets::SendSome(m_socket.Get(), m_out.data() + m_outAt,
                                      m_out.size() - m_outAt, false);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Watch(EPOLLOUT);
            return false;
        }
        if (n <= 0) {
            Close();
            return false;
        }
        m_outAt += static_cast<std::size_t>(n);
        m_lastActivity = std::chrono::steady_clock::now();
    }
    m_out.clear();
    m_outAt = 0;
    if (m_closeAfterReply) {
        Close();
        return false;
    }
    m_phase = EPhase::Reading;
    return true;
}

void CSmtpConnection::Tick(std::chrono::steady_clock::time_point now) {
    if (m_phase != EPhase::Reading && m_phase != EPhase::Sending) return;
    if (now - m_lastActivity >= std::chrono::seconds(m_owner.TimeoutSeconds())) Close();
}

void CSmtpConnection::Close(bool forget) {
    if (m_phase == EPhase::Closed) return;
    {
        std::scoped_lock guard(m_sessionLock);
        m_phase = EPhase::Closed;
        // A unit still running ends the session when it is done (Work).
        if (!m_unitRunning && !m_ended) {
            m_ended = true;
            m_session.Closed();
        }
    }
    Unwatch();
    Sockets::DrainReceived(m_socket.Get(), kDrainLimit);
    ::close(m_socket.Release());
    if (forget) m_owner.Forget(this);
}
