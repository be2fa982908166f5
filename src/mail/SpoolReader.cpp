// SpoolReader.cpp - the spool reader: large block reads, header values of each message.
#include "mail/SpoolReader.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "mail/HeaderValues.h"
#include "mail/MailSpool.h"
#include "mail/SpoolLineSplitter.h"
#include "platform/Fd.h"
#include "text/AsciiText.h"

namespace {

bool StartsWith(std::string_view line, std::string_view prefix) {
    return line.size() >= prefix.size() &&
           std::memcmp(line.data(), prefix.data(), prefix.size()) == 0;
}

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

// With folded headers kept: starts or continues the kept Subject, From or Content-Type line.
void CSpoolReader::KeepFolded(CHeaderKind kind, std::string_view line) {
    if (m_folding && kind == CHeaderKind::kOther && !line.empty() &&
        (line[0] == ' ' || line[0] == '\t')) {
        const std::size_t cut = m_folding == &m_message.m_typeLine ? kTypeLineCut : kFoldedLineCut;
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

void CSpoolReader::Header(std::string_view line) {
    const CHeaderKind kind = Classify(line);
    if (m_keepFolded) KeepFolded(kind, line);
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
