// SpoolLineSplitter.cpp - the spool's lines and pieces, found with memchr and memrchr.
#include "mail/SpoolLineSplitter.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "mail/SpoolReader.h"

namespace {

// The first line end in [p, p + n), or null. Mail header lines are short, and a library
// search pays a set-up cost per call that a line of fifty bytes never earns back, so the
// first bytes are scanned eight at a time here.
const char* FindLineEnd(const char* p, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ull;
        constexpr std::uint64_t kHighs = 0x8080808080808080ull;
        constexpr std::uint64_t kNewlines = kOnes * '\n';
        std::size_t i = 0;
        for (; i + 8 <= n && i < 256; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            word ^= kNewlines;
            // The lowest flagged byte is exact: borrows only run towards higher bytes.
            std::uint64_t zero = (word - kOnes) & ~word & kHighs;
            if (zero) return p + i + static_cast<std::size_t>(std::countr_zero(zero) / 8);
        }
        return static_cast<const char*>(std::memchr(p + i, '\n', n - i));
    } else {
        return static_cast<const char*>(std::memchr(p, '\n', n));
    }
}

// The line end before the first line after `pos` that begins with "From"; null if none.
// Capital F is far rarer than the line end in mail text, so this looks for it.
const char* FindFromLine(const char* text, std::size_t pos, std::size_t size) {
    for (std::size_t p = pos + 1; p + 4 <= size;) {
        const void* found = std::memchr(text + p, 'F', size - p);
        if (!found) return nullptr;
        p = static_cast<std::size_t>(static_cast<const char*>(found) - text);
        if (p + 4 > size) return nullptr;
        if (text[p - 1] == '\n' && std::memcmp(text + p, "From", 4) == 0) return text + p - 1;
        ++p;
    }
    return nullptr;
}

}  // namespace

std::size_t CLineSplitter::Feed(const char* text, std::size_t size, std::int64_t base, bool atEnd) {
    std::size_t pos = 0;
    while (pos < size) {
        if (m_lineStart && !m_reader.InHeader()) {
            std::size_t skipped = SkipBody(text, pos, size);
            if (skipped != pos) {
                pos = skipped;
                m_terminated = true;
                m_anyLine = true;
                continue;
            }
        }
        const char* start = text + pos;
        std::size_t left = size - pos;
        const char* newline = FindLineEnd(start, left);
        std::size_t content;
        bool terminated = newline != nullptr;
        if (terminated) {
            content = static_cast<std::size_t>(newline - start);
            if (content > 0 && start[content - 1] == '\r') --content;
        } else if (atEnd) {
            content = left;
            if (content > 0 && start[content - 1] == '\r') --content;
            // Only the dropped "\r" of a line already given in whole pieces: an
            // unterminated line has no empty rest, however its blocks fell.
            if (content == 0 && !m_lineStart) break;
        } else if (left > CSpoolReader::kPieceLength) {
            content = left;  // at least a whole piece before any line end
        } else {
            break;  // need more bytes to know where this line ends
        }
        std::int64_t offset = base + static_cast<std::int64_t>(pos);
        m_anyLine = true;
        if (content >= CSpoolReader::kPieceLength) {
            m_reader.Line(std::string_view(start, CSpoolReader::kPieceLength), offset);
            pos += CSpoolReader::kPieceLength;
            m_terminated = false;
            m_lineStart = false;
            if (!terminated && atEnd && content == CSpoolReader::kPieceLength) {
                pos = size;  // only a dropped "\r" was left
            }
            continue;
        }
        m_reader.Line(std::string_view(start, content), offset);
        m_terminated = terminated;
        m_lineStart = true;
        pos = terminated ? static_cast<std::size_t>(newline - text) + 1 : size;
    }
    return pos;
}

// In a body only lines beginning with "From" can matter, and of the others only the last
// one before such a line (it may hold "Forwarded message:"). From the line start `pos`,
// passes over whole lines up to the next line that begins with "From", or up to the last
// line end in the buffer, and returns where it stopped (`pos` when nothing was passed).
// A run of 999 bytes without a line end would be cut into pieces, any of which could be
// a separator, so the pass stops before such a line and leaves it to the piece rules.
std::size_t CLineSplitter::SkipBody(const char* text, std::size_t pos, std::size_t size) {
    if (size - pos < 5 || std::memcmp(text + pos, "From", 4) == 0) return pos;
    const char* hit = FindFromLine(text, pos, size);
    std::size_t limit;  // the line end of the last line passed over
    if (hit) {
        limit = static_cast<std::size_t>(hit - text);
    } else {
        const void* last = ::memrchr(text + pos, '\n', size - pos);
        if (!last) return pos;
        limit = static_cast<std::size_t>(static_cast<const char*>(last) - text);
    }
    // Every 999-byte window from a line start must hold a line end; the last one in it
    // starts the next window.
    for (std::size_t w = pos; limit - w >= CSpoolReader::kPieceLength;) {
        const void* nl = ::memrchr(text + w, '\n', CSpoolReader::kPieceLength);
        if (!nl) {
            if (w == pos) return pos;
            limit = w - 1;
            break;
        }
        w = static_cast<std::size_t>(static_cast<const char*>(nl) - text) + 1;
    }
    const void* before = ::memrchr(text + pos, '\n', limit - pos);
    std::size_t lastStart =
        before ? static_cast<std::size_t>(static_cast<const char*>(before) - text) + 1 : pos;
    std::size_t length = limit - lastStart;
    if (length > 0 && text[limit - 1] == '\r') --length;
    m_reader.SkippedBodyLine(std::string_view(text + lastStart, length));
    return limit + 1;
}
