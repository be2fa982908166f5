// MessagePage.cpp - the page of one message: its navigation and header tables, then its body
// read again from the spool at the record's offset and converted to HTML line by line. A
// thread root with replies, asked for in the threaded order without its own number in
// `expand`, answers with the mailbox index opened at its thread instead.
//
// The body is read without any lock: the store only ever appends to the spool, and the record
// says where the message starts; it ends at the next separator or at the end of the file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "server/HttpHeader.h"
#include "server/Node.h"
#include "server/Options.h"
#include "server/SocketStream.h"
#include "mail/MailText.h"
#include "mail/MailboxNode.h"
#include "mail/MessageNode.h"
#include "mail/MessageUrl.h"
#include "mail/MimePage.h"
#include "platform/Fd.h"

namespace {

// Cuts the spool into the same lines the spool reader sees, so a message ends where its
// record says: lines end at "\n", a "\r" ending a line or a piece is dropped, and a line is
// handed out in pieces of at most kPiece bytes (a line whose length is a multiple of kPiece is
// followed by an empty piece).
class CBodyLines {
  public:
    static constexpr std::size_t kPiece = 999;
    static constexpr std::size_t kBlock = 64 * 1024;

    CBodyLines(int fd, std::int64_t offset) : m_fd(fd), m_fileOffset(offset) {}

    // The next piece; false at the end of the file (or on a read error, which ends it too).
    bool Next(std::string& line) {
        Fill();
        const std::size_t available = m_buffer.size() - m_pos;
        if (available == 0) return false;
        const char* start = m_buffer.data() + m_pos;
        const std::size_t window = std::min(available, kPiece + 1);
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', window));
        if (lf != nullptr) {
            std::size_t length = static_cast<std::size_t>(lf - start);
            if (length > 0 && start[length - 1] == '\r') {
                line.assign(start, length - 1);
                m_pos += length + 1;
            } else if (length == kPiece) {
                // A full piece: its line end comes back as an empty piece.
                line.assign(start, kPiece);
                m_pos += kPiece;
            } else {
                line.assign(start, length);
                m_pos += length + 1;
            }
            return true;
        }
        // A piece without its line end (a long line cut, or the end of the file) still
        // loses a final CR.
        const std::size_t length = std::min(available, kPiece);
        const bool cr = start[length - 1] == '\r';
        line.assign(start, cr ? length - 1 : length);
        m_pos += length;
        return true;
    }

  private:
    // Keeps at least a piece, its line end and one byte before it in the buffer, or all that
    // is left of the file.
    void Fill() {
        if (m_atEnd || m_buffer.size() - m_pos > kPiece + 1) return;
        m_buffer.erase(0, m_pos);
        m_pos = 0;
        while (!m_atEnd && m_buffer.size() <= kPiece + 1) {
            const std::size_t held = m_buffer.size();
            m_buffer.resize(held + kBlock);
            const ssize_t got = ::pread(m_fd, m_buffer.data() + held, kBlock, m_fileOffset);
            if (got < 0 && errno == EINTR) {
                m_buffer.resize(held);
                continue;
            }
            if (got <= 0) {
                m_buffer.resize(held);
                m_atEnd = true;
                break;
            }
            m_buffer.resize(held + static_cast<std::size_t>(got));
            m_fileOffset += got;
        }
    }

    int m_fd;
    std::int64_t m_fileOffset;  // file offset of the next byte to read into the buffer
    std::string m_buffer;
    std::size_t m_pos = 0;
    bool m_atEnd = false;
};

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

void WritePageEnd(CSocketStream& out, const std::string& tail) {
    out << "<HR>" << EndLine;
    out << tail << EndLine;
    out << "</BODY>" << EndLine;
}

// The body of the message at `offset` as it is stored, line by line, up to the next message.
void WriteStoredBody(CSocketStream& out, int fd, std::int64_t offset) {
    CBodyLines lines(fd, offset);
    std::string line;
    std::string previous;
    bool inHeaders = true;
    while (lines.Next(line)) {
        if (inHeaders) {
            if (!line.empty()) continue;  // the separator and the header lines
            inHeaders = false;
        }
        const bool separator = StartsWith(line, "From ") || StartsWith(line, "From:");
        if (separator && previous.find("Forwarded message:") == std::string::npos) break;
        previous = line;
        ConvertMailLine(line);
        if (StartsWith(line, "&gt;")) {
            out << "<i>" << std::string_view(line).substr(4) << "</i><br>" << EndLine;
        } else {
            out << line << "<br>" << EndLine;
        }
    }
}

// The body under the tables, decoded in a `mime` mailbox, then the page's end; a spool that
// cannot be opened ends the page with a line saying so.
void WriteBody(CSocketStream& out, CMessageNode& message) {
    const std::string& path = message.SpoolPath();
    CFd spool(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!spool.IsValid()) {
        std::fprintf(stderr, "Could not open mail spool file %s\n", path.c_str());
        out << "<STRONG> Message spool file not available" << EndLine;
        return;
    }

    if (message.Mailbox()->Options().m_mime) {
        std::string bytes;
        bool cut = false;
        if (ReadMessageBytes(message, bytes, cut)) WriteMimeBody(out, message, bytes, cut);
    } else {
        WriteStoredBody(out, spool.Get(), message.m_offset);
    }
    WritePageEnd(out, message.Mailbox()->Options().m_tail);
}

}  // namespace

void CMessageNode::Reply(CSocketStream& out) {
    Mailbox()->CheckSpool();
    CMessageNode* current;
    {
        auto lock = Mailbox()->ReadLock();
        current = Mailbox()->MessageByNumber(m_number);
    }
    if (current != this) {
        // Found in an earlier reading of a spool that has changed since: its offset may lie
        // in another message now, so the page is that of the message with this number today.
        if (current) {
            current->Reply(out);
        } else {
            WriteNotFound(out);
        }
        return;
    }
    COptions defaults;
    CRequestView view(out, defaults);
    COptions& options = *out.m_options;
    if (options.m_raw) {
        ReplyRaw(out);
        return;
    }
    const std::optional<int> expand = ViewNumber(options.m_expand);
    bool closedRoot;
    {
        auto lock = Mailbox()->ReadLock();
        closedRoot = m_nextInThread && !m_isReply;
    }
    if (closedRoot && options.m_sort.empty() && !(expand && *expand == m_number)) {
        // One click on a closed thread shows the index with that thread open at its row.
        options.m_expand = std::to_string(m_number);
        options.m_topOfList = options.m_expand;
        Mailbox()->Reply(out);
        return;
    }

    WriteHttpHeader(out, MailPageType(*Mailbox()), 0, 0);
    out << "<HEAD><TITLE>Msg:" << EscapeLessThan(m_subject) << "</TITLE></HEAD>" << EndLine;
    out << "<BODY>" << EndLine;
    WriteNavigation(out);

    WriteBody(out, *this);
}
