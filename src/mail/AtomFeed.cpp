// AtomFeed.cpp - a mailbox for feed readers: an Atom 1.0 document (RFC 4287) of the newest
// messages in arrival order, each with its subject, sender, date, page and the first lines of
// its body. Links and ids are absolute URLs made as the scenes make theirs.
//
// Every text is UTF-8 (bytes that are not become U+00XX) and escaped for XML; characters XML
// cannot carry at all (most controls) are left out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "server/HttpHeader.h"
#include "server/Rfc3339.h"
#include "server/SocketStream.h"
#include "server/Utf8.h"
#include "mail/HeaderValues.h"
#include "mail/MailDate.h"
#include "mail/MailboxNode.h"
#include "mail/MessageUrl.h"
#include "platform/Fd.h"
#include "text/AsciiText.h"

namespace {

constexpr int kEntries = 50;
constexpr std::size_t kHeadBytes = 16 * 1024;  // read of each message, for its summary
constexpr std::size_t kSummaryLines = 5;
constexpr std::size_t kSummaryBytes = 400;

std::string XmlText(std::string_view bytes) {
    const std::string text = Utf8OrLatin1(bytes);
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (const std::string_view entity = MarkupEntity(text[i], true); !entity.empty()) {
            escaped += entity;
            continue;
        }
        // Mail keeps its line ends; other controls are not XML at all and are dropped.
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
        // U+FFFE and U+FFFF are not XML characters either.
        if (c == 0xEF && text.compare(i, 2, "\xEF\xBF") == 0 && i + 2 < text.size() &&
            (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')) {
            i += 2;
            continue;
        }
        escaped += static_cast<char>(c);
    }
    return escaped;
}

// What one entry needs, copied under the mailbox's lock.
struct CEntry {
    const CMessageNode* m_message;
    std::string m_url;
    std::int64_t m_end;
};

// The first lines of the stored message at [offset, end): its envelope date, if its first
// line is an envelope, and the start of its body.
struct CMessageStart {
    std::string m_envelopeDate;
    std::string m_summary;
};

CMessageStart ReadMessageStart(int fd, std::int64_t offset, std::int64_t end) {
    CMessageStart start;
    if (fd < 0 || end <= offset) return start;
    std::string bytes(static_cast<std::size_t>(std::min<std::int64_t>(end - offset, kHeadBytes)),
                      '\0');
    ssize_t got;
    do {
        got = ::pread(fd, bytes.data(), bytes.size(), offset);
    } while (got < 0 && errno == EINTR);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);

    bool inHeaders = true;
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < bytes.size() && lines < kSummaryLines;) {
        std::size_t lf = bytes.find('\n', pos);
        if (lf == std::string::npos) lf = bytes.size();
        std::string_view line(bytes.data() + pos, lf - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (pos == 0 && line.starts_with("From ")) start.m_envelopeDate = EnvelopeDate(line);
        pos = lf + 1;
        if (inHeaders) {
            inHeaders = !line.empty();
            continue;
        }
        // What a reader would skip: blank lines, quotes of earlier mail, and the frame of a
        // MIME body (its preamble, part boundaries and part headers).
        if (line.starts_with("--") && line.find(' ') == std::string_view::npos) {
            inHeaders = line.size() > 2;
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string_view::npos || line.starts_with(">") ||
            line.starts_with("This is a multi-part message")) {
            continue;
        }
        if (!start.m_summary.empty()) start.m_summary += '\n';
        start.m_summary += line;
        ++lines;
        if (start.m_summary.size() >= kSummaryBytes) break;
    }
    if (start.m_summary.size() > kSummaryBytes) {
        start.m_summary = std::string(CutAtCharacter(start.m_summary, kSummaryBytes)) + "...";
    }
    return start;
}

}  // namespace

void CMailboxNode::ReplyAtom(CSocketStream& out) {
    std::vector<CEntry> entries;
    const std::string feedUrl = AbsoluteUrl(*this);
    {
        auto lock = ReadLock();
        for (const CNode* node = Newest(); node && entries.size() < kEntries; node = node->Next()) {
            const auto& message = static_cast<const CMessageNode&>(*node);
            entries.push_back({&message, MessagePageUrl(message, true), MessageEnd(message)});
        }
    }
    CFd spool(::open(m_spoolPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    const std::time_t spoolTime =
        spool.IsValid() && ::fstat(spool.Get(), &st) == 0 ? st.st_mtime : m_modifiedTime.load();

    std::string body;
    std::time_t newest = 0;
    for (const CEntry& entry : entries) {
        const CMessageNode& message = *entry.m_message;
        const CMessageStart start = ReadMessageStart(spool.Get(), message.m_offset, entry.m_end);
        std::optional<std::time_t> when = ParseMailDate(message.m_date);
        if (!when) when = ParseMailDate(start.m_envelopeDate);
        const std::time_t updated = when ? *when : spoolTime;
        newest = std::max(newest, updated);

        const bool noName = message.m_fromName.empty() || message.m_fromName == " ";
        std::string author = noName ? message.m_fromAddress : message.m_fromName;
        if (author.empty()) author = "(no name)";
        body += "<entry>\n<id>" + XmlText(AbsoluteUrl(message)) + "</id>\n";
        body += "<title type=\"text\">" + XmlText(message.m_subject) + "</title>\n";
        body += "<author><name>" + XmlText(author) + "</name>";
        if (message.m_fromAddress.find('@') != std::string::npos) {
            body += "<email>" + XmlText(message.m_fromAddress) + "</email>";
        }
        body += "</author>\n";
        body += "<updated>" + FormatRfc3339Utc(updated) + "</updated>\n";
        body +=
            "<link rel=\"alternate\" type=\"text/html\" href=\"" + XmlText(entry.m_url) + "\"/>\n";
        body += "<summary type=\"text\">" + XmlText(start.m_summary) + "</summary>\n</entry>\n";
    }
    if (entries.empty()) newest = spoolTime;

    const std::string title = "Mailbox " + (m_label.empty() ? m_name : m_label);
    std::string feed = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    feed += "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n";
    feed += "<id>" + XmlText(feedUrl) + "</id>\n";
    feed += "<title type=\"text\">" + XmlText(title) + "</title>\n";
    feed += "<updated>" + FormatRfc3339Utc(newest) + "</updated>\n";
    feed += "<link rel=\"self\" type=\"application/atom+xml\" href=\"" +
            XmlText(feedUrl + "?ATOM") + "\"/>\n";
    feed += "<link rel=\"alternate\" type=\"text/html\" href=\"" + XmlText(feedUrl) + "\"/>\n";
    feed += body;
    feed += "</feed>\n";

    WriteHttpHeader(out, "application/atom+xml", std::time(nullptr),
                    static_cast<std::int64_t>(feed.size()));
    out << feed;
}
