// SpoolReader.cpp - the spool reader: large block reads, lines split with memchr.
#include "mail/SpoolReader.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "mail/HeaderValues.h"
#include "mail/MailSpool.h"
#include "platform/Fd.h"
#include "text/AsciiText.h"

namespace {

bool StartsWith(std::string_view line, std::string_view prefix) {
    return line.size() >= prefix.size() &&
           std::memcmp(line.data(), prefix.data(), prefix.size()) == 0;
}

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

// Splits a buffer into lines and pieces and feeds them to the reader. Keeps the state of a
// piece-cut line across buffers.
class CLineSplitter {
  public:
    explicit CLineSplitter(CSpoolReader& reader) : m_reader(reader) {}

    // Feeds every whole piece of text[0..size); returns how many bytes were used. With
    // `atEnd`, the rest is the file's last line, without a line end.
    std::size_t Feed(const char* text, std::size_t size, std::int64_t base, bool atEnd) {
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

    bool Terminated() const { return m_terminated; }

    // In a body only lines beginning with "From" can matter, and of the others only the last
    // one before such a line (it may hold "Forwarded message:"). From the line start `pos`,
    // passes over whole lines up to the next line that begins with "From", or up to the last
    // line end in the buffer, and returns where it stopped (`pos` when nothing was passed).
    // A run of 999 bytes without a line end would be cut into pieces, any of which could be
    // a separator, so the pass stops before such a line and leaves it to the piece rules.
    std::size_t SkipBody(const char* text, std::size_t pos, std::size_t size) {
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
    bool AnyLine() const { return m_anyLine; }

  private:
    CSpoolReader& m_reader;
    bool m_terminated = false;
    bool m_anyLine = false;
    bool m_lineStart = true;  // pos is at the start of a line, not of a later piece
};

}  // namespace

CSpoolReader::CSpoolReader(std::int64_t start, const Sink& sink, bool keepFolded)
    : m_sink(sink), m_keepFolded(keepFolded) {
    m_message.m_offset = start;
}

bool CSpoolReader::PreviousIsForwarded() {
    if (!m_previousKnown) {
        m_previousForwarded = m_previous.find("Forwarded message:") != std::string_view::npos;
        m_previousKnown = true;
    }
    return m_previousForwarded;
}

void CSpoolReader::ForgetPreviousText() {
    PreviousIsForwarded();
    m_previous = {};
}

// The header line kinds, in the order their tests are tried.
enum class CHeaderKind {
    kIgnored,  // does not even become the previous line
    kEnvelope,
    kDate,
    kSender,
    kMessageId,
    kSubject,
    kReplyTo,
    kOther,
};

namespace {

// Dispatches on the first byte first: most lines are settled by one comparison.
CHeaderKind Classify(std::string_view line) {
    if (line.empty()) return CHeaderKind::kOther;
    switch (line[0]) {
        case 'R':
            if (StartsWith(line, "Received:") || StartsWith(line, "Return-Path:"))
                return CHeaderKind::kIgnored;
            break;
        case 'C':
            if (StartsWith(line, "Cc:")) return CHeaderKind::kIgnored;
            break;
        case 'X':
            if (StartsWith(line, "X-")) return CHeaderKind::kIgnored;
            break;
        case 'F':
            if (StartsWith(line, "Flags:")) return CHeaderKind::kIgnored;
            if (StartsWith(line, "From ")) return CHeaderKind::kEnvelope;
            if (StartsWith(line, "From:")) return CHeaderKind::kSender;
            break;
        case 'D':
            if (StartsWith(line, "Date:")) return CHeaderKind::kDate;
            break;
        case 'S':
            if (StartsWith(line, "Sent:")) return CHeaderKind::kDate;
            if (StartsWith(line, "Subject:")) return CHeaderKind::kSubject;
            break;
        case 'M':
            if (StartsWith(line, "Message-Id:") || StartsWith(line, "Message-ID:"))
                return CHeaderKind::kMessageId;
            break;
        case 'I':
            if (StartsWith(line, "In-Reply-To:")) return CHeaderKind::kReplyTo;
            break;
        default:
            break;
    }
    return CHeaderKind::kOther;
}

}  // namespace

void CSpoolReader::Header(std::string_view line) {
    const CHeaderKind kind = Classify(line);
    if (m_keepFolded) {
        if (m_folding && kind == CHeaderKind::kOther && !line.empty() &&
            (line[0] == ' ' || line[0] == '\t')) {
            const std::size_t cut =
                m_folding == &m_message.m_typeLine ? kTypeLineCut : kFoldedLineCut;
            std::size_t room = cut - std::min(cut, m_folding->size());
            if (room > 0) {
                *m_folding += ' ';
                m_folding->append(line.substr(1, room - 1));
            }
        } else if (kind == CHeaderKind::kSubject) {
            m_message.m_subjectLine.assign(line.substr(0, kFoldedLineCut));
            m_folding = &m_message.m_subjectLine;
        } else if (kind == CHeaderKind::kSender) {
            m_message.m_senderLine.assign(line.substr(0, kFoldedLineCut));
            m_folding = &m_message.m_senderLine;
        } else if (kind == CHeaderKind::kOther && !line.empty() && (line[0] | 0x20) == 'c' &&
                   StartsWithIgnoringCase(line, "Content-Type:")) {
            m_message.m_typeLine.assign(line.substr(0, kTypeLineCut));
            m_folding = &m_message.m_typeLine;
        } else {
            m_folding = nullptr;
        }
    }
    switch (kind) {
        case CHeaderKind::kIgnored:
            return;
        case CHeaderKind::kEnvelope:
            m_envelopeDate = EnvelopeDate(line);
            if (!m_envelopeDate.empty()) m_envelopeSeen = true;
            break;
        case CHeaderKind::kDate:
            m_message.m_date = HeaderDate(line);
            m_dateSeen = true;
            break;
        case CHeaderKind::kSender: {
            auto [name, address] = ParseSender(line);
            m_message.m_fromName = std::move(name);
            m_message.m_fromAddress = std::move(address);
            break;
        }
        case CHeaderKind::kMessageId:
            m_message.m_messageId = MessageIdValue(line);
            break;
        case CHeaderKind::kSubject:
            m_message.m_subject = SubjectValue(line);
            m_subjectSeen = true;
            break;
        case CHeaderKind::kReplyTo:
            m_message.m_inReplyTo = ReplyReference(line);
            m_replyPending = true;
            break;
        case CHeaderKind::kOther:
            if (m_replyPending && (StartsWith(line, "    ") || StartsWith(line, "\t")) &&
                line.find('<') != std::string_view::npos &&
                line.find('>') != std::string_view::npos &&
                line.find('@') != std::string_view::npos) {
                m_message.m_inReplyTo = ReplyReference(line);
                m_replyPending = false;
            } else if (line.empty()) {
                m_inHeader = false;
            }
            break;
    }
    SetPrevious(line);
}

void CSpoolReader::EndMessage(std::int64_t endOffset) {
    if (!m_subjectSeen) m_message.m_subject = "(no subject)";
    if (!m_dateSeen) m_message.m_date = m_envelopeSeen ? m_envelopeDate : "(no date)";
    m_message.m_endOffset = endOffset;
    m_sink(m_message);
    m_message.m_fromName.clear();
    m_message.m_fromAddress.clear();
    m_message.m_date.clear();
    m_message.m_messageId.clear();
    m_message.m_subject.clear();
    m_message.m_inReplyTo.clear();
    m_message.m_subjectLine.clear();
    m_message.m_senderLine.clear();
    m_message.m_typeLine.clear();
    m_folding = nullptr;
    m_subjectSeen = m_dateSeen = m_envelopeSeen = false;
    m_message.m_offset = endOffset;
}

void CSpoolReader::Line(std::string_view line, std::int64_t offset) {
    if (m_inHeader) {
        const bool storeSeparator = StartsWith(line, kStoreSeparator);
        if (offset == m_message.m_offset) {
            m_storeMessage = storeSeparator;
        } else if (m_storeMessage && storeSeparator) {
            // A message the store wrote with header lines only (or one cut short by a
            // crash) has no empty line before the store's next separator; read from the
            // top, it would swallow the next message.
            m_replyPending = false;
            EndMessage(offset);
        }
        Header(line);
        return;
    }
    if (!StartsSpoolMessage(line)) {
        SetPrevious(line);
        return;
    }
    if (PreviousIsForwarded()) {
        // The quoted sender of a forwarded message stays in the body.
        m_previous = {};
        m_previousKnown = true;
        m_previousForwarded = false;
        return;
    }
    m_inHeader = true;
    m_replyPending = false;
    m_storeMessage = StartsWith(line, kStoreSeparator);
    EndMessage(offset);
    Header(line);  // the separator is the new message's first header line
}

std::int64_t CSpoolReader::Finish(std::int64_t endOffset, bool terminated, bool anyLine) {
    if (!anyLine) return m_message.m_offset;
    if (terminated) Line(std::string_view(), endOffset);
    if (m_inHeader) return m_message.m_offset;  // held back until the rest arrives
    EndMessage(endOffset);
    return endOffset;
}

std::int64_t CSpoolReader::ReadText(std::string_view text, std::int64_t base, const Sink& sink,
                                    bool keepFolded) {
    CSpoolReader reader(base, sink, keepFolded);
    CLineSplitter splitter(reader);
    splitter.Feed(text.data(), text.size(), base, true);
    return reader.Finish(base + static_cast<std::int64_t>(text.size()), splitter.Terminated(),
                         splitter.AnyLine());
}

bool CSpoolReader::ReadFile(const std::string& path, std::int64_t offset, const Sink& sink,
                            std::int64_t& nextOffset, const SizeHint& sizeHint, bool keepFolded) {
    CFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.IsValid()) return false;
    // A delivery adds a few kilobytes: size the buffer to what is there, so reading one new
    // message costs the same whatever the spool's size.
    struct stat info {};
    std::size_t bufferSize = kBlockSize;
    if (::fstat(file.Get(), &info) == 0 && info.st_size >= offset) {
        auto left = static_cast<std::uint64_t>(info.st_size - offset);
        bufferSize = static_cast<std::size_t>(
            std::clamp<std::uint64_t>(left + 1, kMinBlockSize, kBlockSize));
        if (sizeHint && left > 0) sizeHint(left);
    }
    CSpoolReader reader(offset, sink, keepFolded);
    CLineSplitter splitter(reader);
    auto buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
    std::size_t held = 0;              // bytes of an unfinished line at the front of the buffer
    std::int64_t heldOffset = offset;  // file offset of buffer[0]
    for (;;) {
        ssize_t got = ::pread(file.Get(), buffer.get() + held, bufferSize - held,
                              heldOffset + static_cast<std::int64_t>(held));
        if (got < 0) {
            if (errno == EINTR) continue;
            if (!splitter.AnyLine()) return false;
            // Keep what was complete; the message being read is read again next time from
            // its first line, never from the middle of the failed block.
            std::fprintf(stderr, "Mailbox: reading %s failed at byte %lld: %s\n", path.c_str(),
                         static_cast<long long>(heldOffset + static_cast<std::int64_t>(held)),
                         std::strerror(errno));
            nextOffset = reader.PendingStart();
            return true;
        }
        std::size_t size = held + static_cast<std::size_t>(got);
        bool atEnd = got == 0;
        std::size_t used = splitter.Feed(buffer.get(), size, heldOffset, atEnd);
        if (atEnd) {
            nextOffset = reader.Finish(heldOffset + static_cast<std::int64_t>(size),
                                       splitter.Terminated(), splitter.AnyLine());
            return true;
        }
        reader.ForgetPreviousText();  // its bytes are about to move
        held = size - used;
        std::memmove(buffer.get(), buffer.get() + used, held);
        heldOffset += static_cast<std::int64_t>(used);
    }
}
