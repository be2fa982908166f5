// MessageUrl.cpp - the links between mailbox and message pages, which carry the reader's view
// (sort order, opened thread, the row to scroll to) in their query.
#include "mail/MessageUrl.h"

#include "server/HTEscape.h"
#include "server/HttpHeader.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "mail/MailboxNode.h"
#include "mail/MessageNode.h"

CRequestView::CRequestView(CSocketStream& out, COptions& defaults)
    : m_out(out), m_lent(out.m_options == nullptr) {
    if (m_lent) m_out.m_options = &defaults;
}

CRequestView::~CRequestView() {
    if (m_lent) m_out.m_options = nullptr;
}

std::optional<int> ViewNumber(const std::string& value) {
    if (value.empty()) return std::nullopt;
    return ParseKeywordNumber(value);
}

std::string EscapeAttribute(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '<') {
            escaped += "&lt;";
        } else if (c == '>') {
            escaped += "&gt;";
        } else if (static_cast<unsigned char>(c) < 0x21) {
            // A form feed passes the request line's separators but ends an unquoted value in
            // a browser, so every blank or control byte is written in its URL form.
            static constexpr char kHex[] = "0123456789ABCDEF";
            escaped += '%';
            escaped += kHex[static_cast<unsigned char>(c) >> 4];
            escaped += kHex[static_cast<unsigned char>(c) & 0x0F];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string AbsoluteUrl(const CNode& node) {
    COptions scene;
    scene.m_viewAs = COptions::EView::kScene;
    return NodeUrl(node, &scene);
}

std::string MessagePageUrl(const CMessageNode& message, bool absolute) {
    std::string url = absolute ? AbsoluteUrl(message) : NodeUrl(message, nullptr);
    if (message.m_nextInThread && !message.m_isReply) {
        url += "?EXPAND=" + std::to_string(message.m_number);
    }
    return url;
}

void WriteNotFound(CSocketStream& out) {
    WriteStatusOnly(out, "HTTP/1.0 404 FILE NOT FOUND");
    out << "<HEAD><TITLE>File Not Found</TITLE></HEAD><BODY><H1>404 File Not Found</H1>"
           "The file is not found on this server"
        << EndLine;
}

// Reads thread links of `target`: the caller holds the mailbox's ReadLock(). The path is
// escaped as every other link of the server is; for names of letters, digits, "-", "." and
// "_" that changes nothing.
std::string CMessageNode::BuildMessageUrl(CSocketStream& out, const CNode* target) {
    static const COptions kNoOptions;
    const COptions& options = out.m_options ? *out.m_options : kNoOptions;
    const bool self = target == nullptr;
    const CNode* node = self ? this : target;

    std::string url = node->GetPath();
    if (!url.empty() && url.back() == '/') url.pop_back();
    url = HTEscape(url);

    const bool hasChildren = node->HasChildren();
    // Without children the target is a message (or a mailbox still empty, which has no
    // number and no thread).
    const auto* message = hasChildren ? nullptr : dynamic_cast<const CMessageNode*>(node);
    const bool closedRoot = message && message->m_nextInThread && !message->m_isReply;
    int expand = options.m_expand.empty() ? -1 : ParseKeywordNumber(options.m_expand);

    // A link to a thread root with replies opens that thread.
    if (!self && closedRoot) expand = message->m_number;
    if (message && message->m_number == expand) url += '/';
    if (hasChildren) {
        url += "#TOP";
    } else if (options.m_sort.empty() && closedRoot && message->m_number != expand) {
        url += "#TOP";
    }
    url += '?';
    if (!options.m_sort.empty()) url += "SORT=" + EscapeAttribute(options.m_sort) + "&";
    if (expand != -1) url += "EXPAND=" + std::to_string(expand) + "&";
    url += "TOPOFLIST=" + std::to_string(m_number);
    return url;
}
