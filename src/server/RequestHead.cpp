// RequestHead.cpp - request head lines from bytes, with the head's bounds.
#include "server/RequestHead.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "text/AsciiText.h"

bool HasHttpVersion(std::string_view line) {
    constexpr std::string_view kBlanks = " \t";
    std::size_t words = 0;
    std::string_view last;
    std::size_t at = 0;
    while (auto word = NextToken(line, at, kBlanks)) {
        last = *word;
        ++words;
    }
    return words >= 3 && StartsWithIgnoringCase(last, "HTTP/");
}

bool CRequestHead::AddPiece(std::string piece) {
    if (m_complete) return true;
    m_bytes += piece.size() + 1;
    const bool full = piece.size() == kMaxRequestLine;
    // A line of exactly the piece length: the LF that follows is its end, not a blank line.
    if (std::exchange(m_previousFull, full) && piece.empty()) return false;
    if (!piece.empty() && piece.back() == '\r') piece.pop_back();
    if (piece.empty()) return m_complete = true;
    m_lines.push_back(std::move(piece));
    // A request line without a version is the whole request: its client waits for the reply.
    if (m_lines.size() == 1 && !full && !HasHttpVersion(m_lines.front())) return m_complete = true;
    if (m_lines.size() >= kMaxRequestLines || m_bytes >= kMaxRequestBytes) m_complete = true;
    return m_complete;
}

std::size_t CRequestHead::Feed(std::string_view bytes) {
    std::size_t at = 0;
    while (!m_complete && at < bytes.size()) {
        std::size_t room = kMaxRequestLine - m_partial.size();
        std::size_t count = std::min(room, bytes.size() - at);
        const char* start = bytes.data() + at;
        if (const void* lf = std::memchr(start, '\n', count)) {
            std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
            m_partial.append(start, length);
            at += length + 1;
            AddPiece(std::exchange(m_partial, {}));
            continue;
        }
        m_partial.append(start, count);
        at += count;
        if (m_partial.size() == kMaxRequestLine) AddPiece(std::exchange(m_partial, {}));
    }
    return at;
}

void CRequestHead::End() {
    if (!m_partial.empty()) AddPiece(std::exchange(m_partial, {}));
    m_complete = true;
}
