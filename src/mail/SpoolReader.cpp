// SpoolReader.cpp - the spool reader: large block reads, lines split with memchr.
#include "mail/SpoolReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "mail/HeaderValues.h"
#include "platform/Fd.h"

namespace {

bool StartsWith(std::string_view line, std::string_view prefix) {
    return line.size() >= prefix.size() &&
           std::memcmp(line.data(), prefix.data(), prefix.size()) == 0;
}

bool IsSeparator(std::string_view line) {
    return line.size() >= 5 && std::memcmp(line.data(), "From", 4) == 0 &&
           (line[4] == ' ' || line[4] == ':');
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
            const char* start = text + pos;
            std::size_t left = size - pos;
            const char* newline = static_cast<const char*>(std::memchr(start, '\n', left));
            std::size_t content;
            bool terminated = newline != nullptr;
            if (terminated) {
                content = static_cast<std::size_t>(newline - start);
                if (content > 0 && start[content - 1] == '\r') --content;
            } else if (atEnd) {
                content = left;
                if (content > 0 && start[content - 1] == '\r') --content;
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
                if (!terminated && atEnd && content == CSpoolReader::kPieceLength) {
                    pos = size;  // only a dropped "\r" was left
                }
                continue;
            }
            m_reader.Line(std::string_view(start, content), offset);
            m_terminated = terminated;
            pos = terminated ? static_cast<std::size_t>(newline - text) + 1 : size;
        }
        return pos;
    }

    bool Terminated() const { return m_terminated; }
    bool AnyLine() const { return m_anyLine; }

  private:
    CSpoolReader& m_reader;
    bool m_terminated = false;
    bool m_anyLine = false;
};

}  // namespace

CSpoolReader::CSpoolReader(std::int64_t start, const Sink& sink) : m_sink(sink) {
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

void CSpoolReader::Header(std::string_view line) {
    if (StartsWith(line, "Received:") || StartsWith(line, "Return-Path:") ||
        StartsWith(line, "Cc:") || StartsWith(line, "X-") || StartsWith(line, "Flags:")) {
        return;  // not even the previous line
    }
    if (StartsWith(line, "From ")) {
        m_envelopeDate = EnvelopeDate(line);
        if (!m_envelopeDate.empty()) m_envelopeSeen = true;
    } else if (StartsWith(line, "Date:") || StartsWith(line, "Sent:")) {
        m_message.m_date = HeaderDate(line);
        m_dateSeen = true;
    } else if (StartsWith(line, "From:")) {
        auto [name, address] = ParseSender(line);
        m_message.m_fromName = std::move(name);
        m_message.m_fromAddress = std::move(address);
    } else if (StartsWith(line, "Message-Id:") || StartsWith(line, "Message-ID:")) {
        m_message.m_messageId = MessageIdValue(line);
    } else if (StartsWith(line, "Subject:")) {
        m_message.m_subject = SubjectValue(line);
        m_subjectSeen = true;
    } else if (StartsWith(line, "In-Reply-To:")) {
        m_message.m_inReplyTo = ReplyReference(line);
        m_replyPending = true;
    } else if (m_replyPending && (StartsWith(line, "    ") || StartsWith(line, "\t")) &&
               line.find('<') != std::string_view::npos &&
               line.find('>') != std::string_view::npos &&
               line.find('@') != std::string_view::npos) {
        m_message.m_inReplyTo = ReplyReference(line);
        m_replyPending = false;
    } else if (line.empty()) {
        m_inHeader = false;
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
    m_subjectSeen = m_dateSeen = m_envelopeSeen = false;
    m_message.m_offset = endOffset;
}

void CSpoolReader::Line(std::string_view line, std::int64_t offset) {
    if (m_inHeader) {
        Header(line);
        return;
    }
    if (!IsSeparator(line)) {
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

std::int64_t CSpoolReader::ReadText(std::string_view text, std::int64_t base, const Sink& sink) {
    CSpoolReader reader(base, sink);
    CLineSplitter splitter(reader);
    splitter.Feed(text.data(), text.size(), base, true);
    return reader.Finish(base + static_cast<std::int64_t>(text.size()), splitter.Terminated(),
                         splitter.AnyLine());
}

bool CSpoolReader::ReadFile(const std::string& path, std::int64_t offset, const Sink& sink,
                            std::int64_t& nextOffset) {
    CFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.IsValid()) return false;
    CSpoolReader reader(offset, sink);
    CLineSplitter splitter(reader);
    // Not zeroed: only bytes pread has filled are looked at, and a mailbox reads its spool
    // after every delivery, where clearing the whole block cost more than the new message.
    auto buffer = std::make_unique_for_overwrite<char[]>(kBlockSize);
    std::size_t held = 0;              // bytes of an unfinished line at the front of the buffer
    std::int64_t heldOffset = offset;  // file offset of buffer[0]
    for (;;) {
        ssize_t got = ::pread(file.Get(), buffer.get() + held, kBlockSize - held,
                              heldOffset + static_cast<std::int64_t>(held));
        if (got < 0) {
            if (errno == EINTR) continue;
            if (!splitter.AnyLine()) return false;
            got = 0;  // a read error ends the read like the end of the file
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
