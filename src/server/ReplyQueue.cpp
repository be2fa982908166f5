// ReplyQueue.cpp - sending a reply without blocking: straight from the worker while the
// socket takes it, from the loop's queue once it does not.
#include "server/ReplyQueue.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/Socket.h"

namespace {

constexpr std::size_t kSendFilePiece = 1 << 30;
constexpr std::size_t kCopyPiece = 64 * 1024;  // a file body copied for want of a descriptor

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

void CReplyBudget::Give(std::size_t bytes) {
    m_held.fetch_sub(bytes);
    if (m_waiters.load() > 0) WakeAll();
}

void CReplyBudget::WakeAll() {
    std::scoped_lock guard(m_lock);
    m_room.notify_all();
}

void CReplyBudget::WaitForRoom(const std::function<std::size_t()>& connectionHeld,
                               const std::function<bool()>& gone) {
    auto full = [&] { return m_held.load() > m_limit || connectionHeld() > m_perConnection; };
    if (!full()) return;
    ++m_waiters;
    std::unique_lock guard(m_lock);
    // The timed wait is a safety net only: Give and WakeAll notify.
    while (!gone() && full())
        m_room.wait_for(guard, std::chrono::milliseconds(100));
    --m_waiters;
}

CReplyQueue::CReplyQueue(int socket, CReplyBudget& budget, std::function<void()> wantWrite)
    : m_socket(socket), m_budget(budget), m_wantWrite(std::move(wantWrite)) {}

CReplyQueue::~CReplyQueue() {
    m_budget.Give(m_heldBytes.exchange(0));
}

void CReplyQueue::Queue(CSegment segment, std::size_t heldBytes) {
    m_segments.push_back(std::move(segment));
    m_heldBytes += heldBytes;
    m_budget.Take(heldBytes);
}

bool CReplyQueue::Send(std::string& bytes, bool more) {
    bool wake = false;
    {
        std::scoped_lock guard(m_lock);
        if (m_failed) {
            bytes.clear();
            return false;
        }
        std::size_t at = 0;
        if (!m_loopOwns) {
            while (at < bytes.size()) {
                ssize_t n = Sockets::SendSome(m_socket, bytes.data() + at, bytes.size() - at, more);
                if (n > 0) {
                    at += static_cast<std::size_t>(n);
                    m_sent += static_cast<std::uint64_t>(n);
                } else if (n < 0 && WouldBlock()) {
                    break;
                } else {
                    m_failed = true;
                    bytes.clear();
                    return false;
                }
            }
        }
        if (at < bytes.size()) {
            CSegment segment;
            segment.m_bytes = at == 0 ? std::move(bytes) : bytes.substr(at);
            std::size_t left = segment.m_bytes.size();
            Queue(std::move(segment), left);
            wake = !m_loopOwns.exchange(true);
        }
        bytes.clear();
    }
    if (wake) m_wantWrite();
    m_budget.WaitForRoom([this] { return m_heldBytes.load(); }, [this] { return m_failed.load(); });
    return !m_failed;
}

std::int64_t CReplyQueue::SendFile(int fd, std::int64_t offset, std::int64_t length) {
    struct stat st {};
    if (::fstat(fd, &st) == 0)
        length = std::max<std::int64_t>(0, std::min(length, st.st_size - offset));
    std::int64_t at = offset, end = offset + length;
    bool wake = false;
    {
        std::scoped_lock guard(m_lock);
        if (m_failed) return -1;
        while (!m_loopOwns && at < end) {
            std::size_t want = static_cast<std::size_t>(
                std::min<std::int64_t>(end - at, static_cast<std::int64_t>(kSendFilePiece)));
            std::int64_t before = at;
            ssize_t n = Sockets::SendFileSome(m_socket, fd, &at, want);
            if (n > 0) {
                m_sent += static_cast<std::uint64_t>(at - before);
            } else if (n == 0) {
                end = at;  // the file shrank under us: the reply ends early
            } else if (WouldBlock()) {
                break;
            } else {
                m_failed = true;
                return -1;
            }
        }
        if (at < end) {
            CSegment segment;
            segment.m_file = CFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
            if (segment.m_file.IsValid()) {
                segment.m_offset = at;
                segment.m_end = end;
                Queue(std::move(segment), 0);
                wake = !m_loopOwns.exchange(true);
                at = end;
            }
        }
    }
    if (wake) m_wantWrite();
    // No descriptor left to keep the file by: the rest goes as bytes, within the memory bound.
    if (at < end && !CopyFileBody(fd, at, end)) return -1;
    return end - offset;
}

bool CReplyQueue::CopyFileBody(int fd, std::int64_t at, std::int64_t& end) {
    std::string piece;
    while (at < end) {
        piece.resize(static_cast<std::size_t>(
            std::min<std::int64_t>(end - at, static_cast<std::int64_t>(kCopyPiece))));
        ssize_t n = ::pread(fd, piece.data(), piece.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            end = at;  // the file shrank under us: the reply ends early
            break;
        }
        piece.resize(static_cast<std::size_t>(n));
        at += n;
        if (!Send(piece, true)) return false;
    }
    return true;
}

void CReplyQueue::EndLocked() {
    if (m_ended) return;
    m_ended = true;
    Sockets::ShutdownWrite(m_socket);
}

void CReplyQueue::Finish() {
    std::scoped_lock guard(m_lock);
    m_finished = true;
    if (!m_loopOwns && !m_failed) EndLocked();
}

bool CReplyQueue::SendQueued() {
    while (!m_segments.empty()) {
        CSegment& front = m_segments.front();
        if (front.m_file.IsValid()) {
            if (front.m_offset < front.m_end) {
                std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(
                    front.m_end - front.m_offset, static_cast<std::int64_t>(kSendFilePiece)));
                std::int64_t before = front.m_offset;
                ssize_t n =
                    Sockets::SendFileSome(m_socket, front.m_file.Get(), &front.m_offset, want);
                if (n < 0) {
                    if (WouldBlock()) return true;
                    return false;
                }
                m_sent += static_cast<std::uint64_t>(front.m_offset - before);
                // Nothing more from a file that shrank: the reply ends early.
                if (n > 0 && front.m_offset < front.m_end) continue;
            }
        } else {
            if (front.m_at < front.m_bytes.size()) {
                bool more = m_segments.size() > 1;
                ssize_t n = Sockets::SendSome(m_socket, front.m_bytes.data() + front.m_at,
                                              front.m_bytes.size() - front.m_at, more);
                if (n < 0) {
                    if (WouldBlock()) return true;
                    return false;
                }
                front.m_at += static_cast<std::size_t>(n);
                m_sent += static_cast<std::uint64_t>(n);
                if (front.m_at < front.m_bytes.size()) continue;
            }
            m_heldBytes -= front.m_bytes.size();
            m_budget.Give(front.m_bytes.size());
        }
        m_segments.pop_front();
    }
    return true;
}

CReplyQueue::EDrain CReplyQueue::Drain() {
    {
        std::scoped_lock guard(m_lock);
        if (m_failed) return EDrain::Failed;
        if (!SendQueued()) {
            m_failed = true;
        } else if (!m_segments.empty()) {
            return EDrain::Pending;
        } else {
            m_loopOwns = false;
            if (!m_finished) return EDrain::Idle;
            EndLocked();
            return EDrain::Done;
        }
    }
    Fail();
    return EDrain::Failed;
}

CReplyQueue::EDrain CReplyQueue::State() {
    std::scoped_lock guard(m_lock);
    if (m_failed) return EDrain::Failed;
    if (m_loopOwns) return EDrain::Pending;
    return m_finished ? EDrain::Done : EDrain::Idle;
}

void CReplyQueue::Fail() {
    {
        std::scoped_lock guard(m_lock);
        m_failed = true;
        m_loopOwns = false;
        for (const CSegment& segment : m_segments)
            m_budget.Give(segment.m_file.IsValid() ? 0 : segment.m_bytes.size());
        m_heldBytes = 0;
        m_segments.clear();
    }
    m_budget.WakeAll();
}
