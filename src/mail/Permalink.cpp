// Permalink.cpp - a link that outlives message numbers: `id=MESSAGE-ID` on a mailbox
// redirects to the page of the message with that Message-ID.
//
// The request line arrives upper-cased, so identifiers are compared ignoring case; they are
// compared as the record holds them (without angle brackets and backslashes, at most 80
// bytes). When several messages share an identifier the oldest wins, so the link does not
// move when a copy arrives later.
#include <string>

#include "server/HttpHeader.h"
#include "server/Node.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "mail/MailboxNode.h"
#include "mail/MessageSearch.h"
#include "mail/MessageUrl.h"

namespace {

constexpr std::size_t kStoredIdBytes = 80;

// The identifier as the spool reader would have stored it.
std::string StoredForm(std::string_view queryValue) {
    std::string id = DecodeQueryValue(queryValue, false);
    const std::size_t first = id.find_first_not_of(" \t");
    const std::size_t last = id.find_last_not_of(" \t");
    id = first == std::string::npos ? std::string() : id.substr(first, last - first + 1);
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    std::erase(id, '\\');
    if (id.size() > kStoredIdBytes) id.resize(kStoredIdBytes);
    return id;
}

}  // namespace

void CMailboxNode::ReplyPermalink(CSocketStream& out) {
    const std::string wanted = StoredForm(out.m_options->m_id);
    std::string location;
    if (!wanted.empty()) {
        auto lock = ReadLock();
        for (int number = 0; number < m_messageCount; ++number) {
            const CMessageNode* message = MessageByNumber(number);
            if (message && EqualsIgnoringCase(message->m_messageId, wanted)) {
                location = MessagePageUrl(*message, true);
                break;
            }
        }
    }
    if (location.empty()) {
        WriteNotFound(out);
        return;
    }
    out.m_status = 302;  // for the access log
    out << "HTTP/1.0 302 Found" << EndLine;
    out << "Server: Zephrin/0.9b3" << EndLine;
    out << "Date: " << FormatHttpDate(std::time(nullptr)) << EndLine;
    out << "Location: " << location << EndLine;
    out << "Content-type: text/html" << EndLine;
    LogLines(out.m_threadId, "Reply: HTTP/1.0 302 Found", {"\tLocation: " + location});
    out << EndLine;
    out.BeginBody();
    out << "<HEAD><TITLE>302 Found</TITLE></HEAD><BODY><H1>302 Found</H1>The message is at <A "
           "HREF=\""
        << location << "\">" << location << "</A>" << EndLine;
}
