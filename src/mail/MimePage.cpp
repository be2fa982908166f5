// MimePage.cpp - message bodies of `mime` mailboxes, and each part at <message>/part/<n>.
//
// Parts are not kept as nodes: the path walk gets a node bound to this thread's request, so a
// mailbox costs no memory per part however many readers ask for parts.
#include "mail/MimePage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <cstdio>
#include <ctime>

#include <glib.h>

#include "server/HttpHeader.h"
#include "server/Node.h"
#include "server/SocketStream.h"
#include "mail/MailText.h"
#include "mail/MailboxNode.h"
#include "mail/MessageNode.h"
#include "mail/MimeBody.h"
#include "mail/MimeText.h"
#include "platform/Fd.h"
#include "text/AsciiText.h"

namespace {

constexpr std::int64_t kMimeMaxMessage = 32 << 20;

// A media type fit for a header line: "type/subtype" of token bytes, else a download.
std::string SafeType(const std::string& type) {
    bool slash = false;
    for (char c : type) {
        if (c == '/') {
            if (slash) return "application/octet-stream";
            slash = true;
        } else if (!g_ascii_isalnum(c) && !std::strchr("!#$&^_.+-", c)) {
            return "application/octet-stream";
        }
    }
    return slash && type.front() != '/' && type.back() != '/' ? type : "application/octet-stream";
}

std::string Disposition(const std::string& name) {
    std::string ascii;
    std::string encoded;
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        bool plain = g_ascii_isalnum(c) || c == '.' || c == '-' || c == '_';
        ascii += plain || c == ' ' ? c : '_';
        if (plain) {
            encoded += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", u);
            encoded += hex;
        }
    }
    return "Content-Disposition: attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" +
           encoded;
}

class CPartNode : public CNode {
  public:
    void Reply(CSocketStream& out) override {
        std::string bytes;
        bool cut = false;
        CMimePartBytes part;
        if (!ReadMessageBytes(*m_message, bytes, cut) || !ReadMimePart(bytes, m_number, part)) {
            WriteStatusOnly(out, "HTTP/1.0 404 FILE NOT FOUND");
            out << "<HEAD><TITLE>File Not Found</TITLE></HEAD><BODY><H1>404 File Not Found</H1>"
                   "The file is not found on this server"
                << EndLine;
            return;
        }
        // Never shown in place: a part is a download, its type not second-guessed.
        WriteHttpHeader(out, SafeType(part.m_type), std::time(nullptr),
                        static_cast<std::int64_t>(part.m_bytes.size()),
                        Disposition(part.m_name) + "\r\nX-Content-Type-Options: nosniff\r\n");
        out.Write(part.m_bytes.data(), part.m_bytes.size());
    }
    CMessageNode* m_message = nullptr;
    int m_number = 0;
};

class CPartsNode : public CNode {
  public:
    CNode* FindChild(std::string_view name) const override {
        int number = 0;
        auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
        if (error != std::errc() || end != name.data() + name.size() || number < 1 ||
            number > kMimeMaxParts || name[0] == '0') {
            return nullptr;
        }
        thread_local CPartNode part;
        part.m_message = m_message;
        part.m_number = number;
        part.m_options = m_message->m_options;
        part.m_name.assign(name);
        return &part;
    }
    void Reply(CSocketStream& out) override { m_message->Reply(out); }
    CMessageNode* m_message = nullptr;
};

}  // namespace

const char* MailPageType(const CMailboxNode& mailbox) {
    return mailbox.Options().m_mime ? "text/html; charset=utf-8" : "text/html";
}

CNode* CMessageNode::FindChild(std::string_view name) const {
    if (!m_mailbox->Options().m_mime || !EqualsIgnoringCase(name, "part")) return nullptr;
    thread_local CPartsNode parts;
    parts.m_message = const_cast<CMessageNode*>(this);
    parts.m_options = m_options;
    parts.m_name = "part";
    return &parts;
}

bool ReadMessageBytes(const CMessageNode& message, std::string& bytes, bool& cut) {
    std::int64_t end;
    {
        auto lock = message.Mailbox()->ReadLock();
        const CMessageNode* next = message.Mailbox()->MessageByNumber(message.m_number + 1);
        end = next ? next->m_offset : message.Mailbox()->ReadOffset();
    }
    CFd spool(::open(message.SpoolPath().c_str(), O_RDONLY | O_CLOEXEC));
    if (!spool.IsValid()) return false;
    std::int64_t length = std::max<std::int64_t>(0, end - message.m_offset);
    cut = length > kMimeMaxMessage;
    length = std::min(length, kMimeMaxMessage);
    bytes.resize(static_cast<std::size_t>(length));
    std::size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::pread(spool.Get(), bytes.data() + got, bytes.size() - got,
                            message.m_offset + static_cast<std::int64_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    if (bytes.compare(0, 5, "From ") == 0) {
        std::size_t lineEnd = bytes.find('\n');
        bytes.erase(0, lineEnd == std::string::npos ? bytes.size() : lineEnd + 1);
    }
    return true;
}

void WriteMimeBody(CSocketStream& out, CMessageNode& message, const std::string& bytes, bool cut) {
    CMimeBody body = ReadMimeBody(bytes);
    if (cut) body.m_skipped.push_back("the message is longer than 32 MiB; the rest was not read");
    out << "<br>" << EndLine;
    std::size_t start = 0;
    std::string line;
    while (start < body.m_text.size()) {
        std::size_t lineEnd = body.m_text.find('\n', start);
        if (lineEnd == std::string::npos) lineEnd = body.m_text.size();
        line.assign(body.m_text, start, lineEnd - start);
        start = lineEnd + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        ConvertMailLine(line);
        if (line.compare(0, 4, "&gt;") == 0) {
            out << "<i>" << std::string_view(line).substr(4) << "</i><br>" << EndLine;
        } else {
            out << line << "<br>" << EndLine;
        }
    }
    if (!body.m_parts.empty()) {
        const std::string base = NodeUrl(message, out.m_options) + "/part/";
        out << "<HR><B>Parts of this message:</B><br>" << EndLine;
        for (const CMimePart& part : body.m_parts) {
            out << "<A HREF=" << base << part.m_number << ">" << EscapeMarkup(part.m_name)
                << "</A> (" << EscapeMarkup(part.m_type) << ", " << part.m_size << " bytes)<br>"
                << EndLine;
        }
    }
    for (const std::string& note : body.m_skipped)
        out << "<p><I>Not shown: " << EscapeMarkup(note) << "</I>" << EndLine;
}
