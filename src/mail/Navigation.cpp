// Navigation.cpp - the top of a message page: the table of links (up, previous and next in the
// reader's order, top of thread, next in thread, reply by mail), the "sorted by" heading and
// the From, Subject and Date of the message. Links are worked out under the mailbox's shared
// lock; the table is written after it is released.
#include <string>

#include "server/HTEscape.h"
#include "server/Node.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "mail/MailboxNode.h"
#include "mail/MessageNode.h"
#include "mail/MessageUrl.h"
#include "text/AsciiText.h"

namespace {

// The links of the table; an empty one is a blank cell.
struct CNavigationLinks {
    std::string m_up;
    std::string m_previous;
    std::string m_next;
    std::string m_threadTop;
    std::string m_nextInThread;
};

// The icon's own path, as the navigation has always linked it (no redirect prefix).
std::string IconPath(const CNode& icon) {
    return HTEscape(icon.GetPath());
}

const CMessageNode* Sibling(const CNode* node) {
    return static_cast<const CMessageNode*>(node);
}

// Previous and next in the reader's order. Caller holds the mailbox's ReadLock().
void Neighbours(const CMessageNode& message, const std::string& sort, const CMessageNode*& previous,
                const CMessageNode*& next) {
    if (sort.empty()) {
        // Mailbox order, roots only: a reply is reached through its thread.
        next = message.m_isReply ? Sibling(message.m_next) : message.OlderRoot();
        while (next && next->m_isReply)
            next = Sibling(next->m_next);
        previous = Sibling(message.m_prev);
        while (previous && previous->m_isReply)
            previous = Sibling(previous->m_prev);
    } else if (sort == "FROM") {
        next = message.NextByName();
        previous = message.PrevByName();
    } else if (sort == "SUBJECT") {
        next = message.NextBySubject();
        previous = message.PrevBySubject();
    } else if (sort == "DATE") {
        next = message.NextByDate();
        previous = message.PrevByDate();
    } else {
        next = Sibling(message.m_next);
        previous = Sibling(message.m_prev);
    }
}

void WriteCell(CSocketStream& out, const char* width, const std::string& url, const char* icon,
               const char* text) {
    if (url.empty()) {
        out << "<TD Width=130> </TD>" << EndLine;
        return;
    }
    out << "<TD Width=" << width << "><A HREF=" << url;
    if (const CNode* found = FindIcon(icon)) {
        out << "><img border=0 align=middle src=" << IconPath(*found);
    }
    out << text << EndLine;
}

// The link table above a message: up, previous and next, the thread's links, a reply.
void WriteLinkTable(CSocketStream& out, const CNavigationLinks& links,
                    const std::string& mailboxName) {
    out << "<TABLE  Width=390 border=1><TR>";
    if (!links.m_up.empty()) {
        // The up cell's text has no ">" of its own in front of it: it is written here.
        out << "<TD Width=130><A HREF=" << links.m_up;
        if (const CNode* icon = FindIcon("up.gif")) {
            out << "><img border=0 align=middle src=" << IconPath(*icon);
        }
        out << ">"
            << "UP </a></TD>" << EndLine;
    } else {
        out << "<TD Width=130> </TD>" << EndLine;
    }
    WriteCell(out, "130", links.m_previous, "back.gif", ">Prev msg </a></TD>");
    WriteCell(out, "150", links.m_next, "forward.gif", ">Next msg </a></TD>");
    out << "</TR><TR>" << EndLine;
    WriteCell(out, "130", links.m_threadTop, "tpthrdhd.gif", ">Top of thread </a></TD>");
    WriteCell(out, "130", links.m_nextInThread, "tpthrdnx.gif", ">Next in thread </a></TD>");
    // Replies go to the mailbox's own address, so they join the archive.
    out << "<TD Width=130><A HREF=mailto:"
        << EscapeAttribute(mailboxName + "@" + g_state.GetHostName());
    if (const CNode* icon = FindIcon("mailto.gif")) {
        out << "><img border=0 align=middle src=" << IconPath(*icon);
    }
    out << ">Reply </a></TD>" << EndLine;
    out << "</TR> </TABLE><br>";
}

// The sender, subject and date of a message, as a small table.
void WriteHeaderTable(CSocketStream& out, const CMessageNode& message) {
    const bool noName = message.m_fromName.empty() || message.m_fromName == " ";
    out << "<Table border=5> ";
    out << "<TR><TD Align=Left><I>"
        << "From:</TD>"
        << "<TD Align=Left><A href=mailto:" << EscapeAttribute(message.m_fromAddress) << "><I>"
        << EscapeLessThan(noName ? message.m_fromAddress : message.m_fromName)
        << "</A></TD><BR></TR>" << EndLine;
    out << "<TR><TD Align=Left><I>"
        << "Subject:</TD>"
        << "<TD Align=Left><I>" << EscapeLessThan(message.m_subject) << "</TD><BR></TR>" << EndLine;
    out << "<TR><TD Align=Left><I>"
        << "Date:</TD>"
        << "<TD Align=Left><I>" << EscapeLessThan(message.m_date) << "</TD><BR></TR>" << EndLine;
    out << "</Table>" << EndLine;
}

}  // namespace

void CMessageNode::WriteNavigation(CSocketStream& out) {
    COptions defaults;
    CRequestView view(out, defaults);
    const COptions& options = *out.m_options;
    CMailboxNode* mailbox = Mailbox();

    CNavigationLinks links;
    {
        auto lock = mailbox->ReadLock();
        const CMessageNode* previous = nullptr;
        const CMessageNode* next = nullptr;
        Neighbours(*this, options.m_sort, previous, next);
        if (m_parent) links.m_up = BuildMessageUrl(out, m_parent);
        if (previous) links.m_previous = BuildMessageUrl(out, previous);
        if (next) links.m_next = BuildMessageUrl(out, next);
        if (m_threadRoot) links.m_threadTop = BuildMessageUrl(out, m_threadRoot);
        if (m_nextInThread) links.m_nextInThread = BuildMessageUrl(out, m_nextInThread);
    }
    WriteLinkTable(out, links, mailbox->m_name);
    if (!options.m_sort.empty()) {
        out << "<h3>Messages sorted by " << EscapeLessThan(options.m_sort) << "</h3>";
    }
    out << "<p><hr>" << EndLine;
    WriteHeaderTable(out, *this);
}
