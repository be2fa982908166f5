// SocketStream.cpp - line reading and gathered writing for one request, into a connection's
// reply sink or into memory.
#include "server/SocketStream.h"

#include "server/GzipBody.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <unistd.h>

namespace {

constexpr std::size_t kFileChunk = 16 * 1024;

}  // namespace

CSocketStream::CSocketStream() = default;

CSocketStream::~CSocketStream() = default;

void CSocketStream::ResetRequestState() {
    m_in.clear();
    m_inPos = 0;
    m_out.clear();
    m_failed = m_fixed2 = m_inBody = false;
    m_headOnly = false;
    m_options = nullptr;
    m_status = 0;
    m_bodyBytes = 0;
    m_gzip.reset();
    m_peerAddress = {};
}

void CSocketStream::OpenReply(CReplySink* sink, const sockaddr_storage& peer) {
    ResetRequestState();
    m_sink = sink;
    m_peerAddress = peer;
}

void CSocketStream::OpenMemory(std::string input) {
    ResetRequestState();
    m_sink = nullptr;
    m_in = std::move(input);
}

std::string CSocketStream::TakeOutput() {
    return std::exchange(m_out, {});
}

CSocketStream::ERead CSocketStream::ReadLine(std::string& line, std::size_t maxChars) {
    line.clear();
    if (m_inPos == m_in.size()) return ERead::End;
    const char* start = m_in.data() + m_inPos;
    std::size_t count = std::min(m_in.size() - m_inPos, maxChars);
    if (const void* lf = std::memchr(start, '\n', count)) {
        std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
        line.assign(start, length);
        m_inPos += length + 1;
    } else {
        line.assign(start, count);
        m_inPos += count;
    }
    return ERead::Line;
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

void CSocketStream::Flush() {
    if (!m_sink) return;
    if (!m_out.empty() && !m_failed && !m_sink->Send(m_out, false)) m_failed = true;
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

std::int64_t CSocketStream::CopyFile(int fd, std::int64_t length) {
    char chunk[kFileChunk];
    std::int64_t copied = 0;
    while (copied < length && !m_failed) {
        std::size_t want =
            static_cast<std::size_t>(std::min<std::int64_t>(length - copied, sizeof chunk));
        ssize_t n = ::read(fd, chunk, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the file shrank
        Write(chunk, static_cast<std::size_t>(n));
        copied += n;
    }
    return copied;
}

std::int64_t CSocketStream::SendFile(int fd, std::int64_t length) {
    if (m_failed || (m_inBody && m_headOnly) || length <= 0) return 0;
    // A file pasted into a compressed page goes through the compressor. A small body is read
    // into the reply, so that it leaves with the header in one send.
    if ((m_gzip && m_inBody) || !m_sink ||
        (length <= kInlineFileBytes && m_out.size() < kSendChunk)) {
        return CopyFile(fd, length);
    }
    // A larger one goes straight from the file: holding a file of any size in memory would let
    // one request exhaust the server's memory. The header goes with its first bytes.
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

void CSocketStream::Close() {
    if (!m_sink) return;
    // The last bytes go with "more follows": the end of the connection comes at once.
    if (!m_out.empty() && !m_failed && !m_sink->Send(m_out, true)) m_failed = true;
    m_out.clear();
    std::exchange(m_sink, nullptr)->Finish();
}

CSocketStream& EndLine(CSocketStream& out) {
    out.Write("\r\n", 2);
    out.FlushIfFull();
    return out;
}
