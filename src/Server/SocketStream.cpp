// SocketStream.cpp - line reading and gathered writing over one accepted socket, in direct,
// buffered or memory mode. All socket I/O of a connection goes through this file.
#include "Server/SocketStream.h"

#include "Server/GzipBody.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr std::size_t kReceiveChunk = 16 * 1024;
constexpr std::size_t kBufferedReceiveChunk = 8000;
constexpr std::size_t kBufferedSendPiece = 20000;
constexpr std::size_t kDrainLimit = 64 * 1024;

void SetSocketTimeout(int fd, int option, int seconds) {
    timeval tv{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// Accept failures that say nothing about the listening socket: try again. Running out of
// descriptors or memory is waited out, so the worker is not lost.
bool IsTransientAcceptError(int error) {
    return error == EINTR || error == ECONNABORTED || error == EPROTO || error == EMFILE ||
           error == ENFILE || error == ENOBUFS || error == ENOMEM || error == EPERM;
}

}  // namespace

CSocketStream::CSocketStream() = default;

CSocketStream::~CSocketStream() = default;

void CSocketStream::ResetRequestState() {
    m_in.clear();
    m_inPos = 0;
    m_out.clear();
    m_failed = m_timedOut = m_inputEnded = m_fixed2 = m_inBody = false;
    m_headOnly = false;
    m_options = nullptr;
    m_status = 0;
    m_bodyBytes = 0;
    m_gzip.reset();
    m_peerAddress = {};
    m_readDeadline = kNoDeadline;
}

void CSocketStream::SetTimeouts(int readSeconds, int writeSeconds) {
    m_readTimeout = readSeconds;
    m_writeTimeout = writeSeconds;
}

bool CSocketStream::Accept(int listenFd) {
    ResetRequestState();
    {
        std::scoped_lock guard(m_socketLock);
        m_socket.Reset();
    }
    m_memory = false;
    for (;;) {
        socklen_t peerLength = sizeof m_peerAddress;
        int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&m_peerAddress), &peerLength,
                           SOCK_CLOEXEC);
        if (fd >= 0) {
            std::scoped_lock guard(m_socketLock);
            m_socket.Reset(fd);
            if (m_interrupted) ::shutdown(fd, SHUT_RDWR);
            break;
        }
        int error = errno;
        if (!IsTransientAcceptError(error)) return false;
        if (error != EINTR && error != ECONNABORTED && error != EPROTO) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (m_readTimeout > 0) SetSocketTimeout(m_socket.Get(), SO_RCVTIMEO, m_readTimeout);
    if (m_writeTimeout > 0) SetSocketTimeout(m_socket.Get(), SO_SNDTIMEO, m_writeTimeout);
    m_buffered = m_wantBuffered;
    if (m_buffered) ReadBufferedRequest();
    return true;
}

void CSocketStream::ReadBufferedRequest() {
    m_in.reserve(kBufferedCapacity);
    char chunk[kBufferedReceiveChunk];
    while (m_in.size() < kBufferedCapacity) {
        ssize_t n = ::recv(m_socket.Get(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        m_in.append(chunk, static_cast<std::size_t>(n));
        // As the buffered reader always did: only the end of a chunk is looked at.
        if (n >= 4 && std::memcmp(chunk + n - 4, "\r\n\r\n", 4) == 0) break;
    }
    m_inputEnded = true;  // the rest of the connection is not read in this mode
}

void CSocketStream::Interrupt() {
    std::scoped_lock guard(m_socketLock);
    m_interrupted = true;
    if (m_socket.IsValid()) ::shutdown(m_socket.Get(), SHUT_RDWR);
}

void CSocketStream::OpenReply(CReplySink* sink, const sockaddr_storage& peer) {
    OpenMemory({});
    m_memory = false;
    m_sink = sink;
    m_peerAddress = peer;
}

void CSocketStream::OpenMemory(std::string input) {
    ResetRequestState();
    {
        std::scoped_lock guard(m_socketLock);
        m_socket.Reset();
    }
    m_memory = true;
    m_buffered = false;
    m_sink = nullptr;
    m_in = std::move(input);
    m_inputEnded = true;
}

std::string CSocketStream::TakeOutput() {
    return std::exchange(m_out, {});
}

bool CSocketStream::FillInput() {
    if (m_inputEnded || !m_socket.IsValid()) return false;
    Flush();  // the peer may be waiting for our reply before it sends more
    if (m_inPos > 0) {
        m_in.erase(0, m_inPos);
        m_inPos = 0;
    }
    if (m_readDeadline != kNoDeadline && std::chrono::steady_clock::now() > m_readDeadline) {
        m_timedOut = m_inputEnded = true;
        return false;
    }
    char chunk[kReceiveChunk];
    for (;;) {
        ssize_t n = ::recv(m_socket.Get(), chunk, sizeof chunk, 0);
        if (n > 0) {
            m_in.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) m_timedOut = true;
        m_inputEnded = true;
        return false;
    }
}

CSocketStream::ERead CSocketStream::ReadLine(std::string& line, std::size_t maxChars) {
    line.clear();
    while (line.size() < maxChars) {
        if (m_inPos == m_in.size() && !FillInput()) {
            if (!line.empty()) return ERead::Line;
            return m_timedOut ? ERead::TimedOut : ERead::End;
        }
        const char* start = m_in.data() + m_inPos;
        std::size_t count = std::min(m_in.size() - m_inPos, maxChars - line.size());
        if (const void* lf = std::memchr(start, '\n', count)) {
            std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
            line.append(start, length);
            m_inPos += length + 1;
            return ERead::Line;
        }
        line.append(start, count);
        m_inPos += count;
    }
    return ERead::Line;
}

bool CSocketStream::AtEnd() {
    return m_inPos == m_in.size() && !FillInput();
}

void CSocketStream::Write(const char* data, std::size_t length) {
    if (m_failed || (m_inBody && m_headOnly)) return;
    if (m_gzip && m_inBody) {
        std::size_t before = m_out.size();
        m_gzip->Write(data, length, m_out);
        m_bodyBytes += static_cast<std::int64_t>(m_out.size() - before);
        if (m_out.size() >= kSendChunk) FlushIfFull();
        return;
    }
    if (m_inBody) m_bodyBytes += static_cast<std::int64_t>(length);
    m_out.append(data, length);
    if (m_out.size() >= kSendChunk) FlushIfFull();
}

CSocketStream& CSocketStream::operator<<(double value) {
    char text[64];
    int length = std::snprintf(text, sizeof text, m_fixed2 ? "%.2f" : "%g", value);
    if (length > 0)
        Write(text, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1));
    return *this;
}

CSocketStream& CSocketStream::operator<<(float value) {
    return *this << static_cast<double>(value);
}

bool CSocketStream::SendAll(const char* data, std::size_t length, int flags) {
    while (length > 0) {
        ssize_t n = ::send(m_socket.Get(), data, length, MSG_NOSIGNAL | flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_failed = true;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

void CSocketStream::Flush() {
    if (m_sink) {
        if (!m_out.empty() && !m_failed && !m_sink->Send(m_out, false)) m_failed = true;
        m_out.clear();
        return;
    }
    if (m_memory || m_buffered || !m_socket.IsValid() || m_out.empty()) return;
    if (!m_failed) SendAll(m_out.data(), m_out.size());
    m_out.clear();
}

void CSocketStream::FlushIfFull() {
    if (m_out.size() >= kSendChunk) Flush();
}

void CSocketStream::BeginBody() {
    m_inBody = true;
}

bool CSocketStream::BeginGzipBody() {
    auto gzip = std::make_unique<CGzipBody>();
    if (gzip->IsValid()) m_gzip = std::move(gzip);
    return m_gzip != nullptr;
}

void CSocketStream::FinishBody() {
    if (!m_gzip) return;
    std::size_t before = m_out.size();
    if (!m_failed && !m_headOnly) m_gzip->Finish(m_out);
    m_bodyBytes += static_cast<std::int64_t>(m_out.size() - before);
    m_gzip.reset();
}

std::int64_t CSocketStream::SendFile(int fd, std::int64_t length) {
    if (m_failed || (m_inBody && m_headOnly) || length <= 0) return 0;
    std::int64_t sent = 0;
    if (m_gzip && m_inBody) {
        // A file pasted into a compressed page goes through the compressor.
        char chunk[kReceiveChunk];
        while (sent < length && !m_failed) {
            std::size_t want =
                static_cast<std::size_t>(std::min<std::int64_t>(length - sent, sizeof chunk));
            ssize_t n = ::read(fd, chunk, want);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            Write(chunk, static_cast<std::size_t>(n));
            sent += n;
        }
        return sent;
    }
    // A small body is read into the reply, so that it leaves with the header in one send.
    // A larger one goes straight from the file, in buffered mode too: holding a file of any
    // size in memory until Close would let one request exhaust the server's memory.
    if (m_memory || (!m_sink && !m_socket.IsValid()) ||
        (length <= kInlineFileBytes && m_out.size() < kSendChunk)) {
        char chunk[kReceiveChunk];
        while (sent < length) {
            std::size_t want =
                static_cast<std::size_t>(std::min<std::int64_t>(length - sent, sizeof chunk));
            ssize_t n = ::read(fd, chunk, want);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            m_out.append(chunk, static_cast<std::size_t>(n));
            sent += n;
        }
        FlushIfFull();
        m_bodyBytes += sent;
        return sent;
    }
    if (m_sink) {
        // The header goes out with the first body bytes where the kernel can join them.
        if (!m_out.empty() && !m_sink->Send(m_out, true)) m_failed = true;
        m_out.clear();
        off_t offset = m_failed ? -1 : ::lseek(fd, 0, SEEK_CUR);
        std::int64_t taken = offset < 0 ? -1 : m_sink->SendFile(fd, offset, length);
        if (taken < 0) {
            m_failed = true;
            return 0;
        }
        ::lseek(fd, offset + taken, SEEK_SET);
        m_bodyBytes += taken;
        return taken;
    }
    if (!m_out.empty()) {
        // The header goes out with the first body bytes where the kernel can join them.
        std::string header = std::exchange(m_out, {});
        const char* data = header.data();
        std::size_t left = header.size();
        while (left > 0) {
            ssize_t n = ::send(m_socket.Get(), data, left, MSG_NOSIGNAL | MSG_MORE);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                m_failed = true;
                return 0;
            }
            data += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    while (sent < length) {
        std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(length - sent, 1 << 30));
        ssize_t n = ::sendfile(m_socket.Get(), fd, nullptr, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) m_failed = true;
        if (n <= 0) break;  // error, time-out, or the file shrank
        sent += n;
    }
    m_bodyBytes += sent;
    return sent;
}

void CSocketStream::Close() {
    if (m_sink) {
        // The last bytes go with "more follows": the end of the connection comes at once.
        if (!m_out.empty() && !m_failed && !m_sink->Send(m_out, true)) m_failed = true;
        m_out.clear();
        std::exchange(m_sink, nullptr)->Finish();
        return;
    }
    if (m_memory) return;
    if (!m_socket.IsValid()) return;
    // The last bytes are sent with MSG_MORE: the shutdown below pushes them, and the end of
    // the connection travels in the same segment instead of one of its own.
    const std::size_t piece = m_buffered ? kBufferedSendPiece : m_out.size();
    for (std::size_t at = 0; at < m_out.size() && !m_failed; at += piece) {
        SendAll(m_out.data() + at, std::min(piece, m_out.size() - at), MSG_MORE);
    }
    m_out.clear();
    // Closing with unread input makes the kernel reset the connection, which can cost the
    // client our reply: end our side first and take what the peer had already sent.
    ::shutdown(m_socket.Get(), SHUT_WR);
    char sink[4096];
    for (std::size_t drained = 0; drained < kDrainLimit;) {
        ssize_t n = ::recv(m_socket.Get(), sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) break;
        drained += static_cast<std::size_t>(n);
    }
    int fd;
    {
        std::scoped_lock guard(m_socketLock);
        fd = m_socket.Release();
    }
    if (::close(fd) != 0) {
        std::fprintf(stderr, "Windows Socket error %d:  Couldn't close a client socket.\n", errno);
    }
}

CSocketStream& EndLine(CSocketStream& out) {
    out.Write("\r\n", 2);
    out.FlushIfFull();
    return out;
}
