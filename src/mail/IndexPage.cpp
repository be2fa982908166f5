// IndexPage.cpp - the mailbox index page: navigation bar, caption, the header row of sort
// links, and one row per listed message in one of four orders.
//
// Rows are built under the mailbox's shared lock in batches of kRowBatch and written after it
// is released, so a slow client never holds up a delivery, and a page of any length needs the
// memory of one batch. Records are never removed, so the walk resumes from the last record of
// the previous batch; messages delivered in between may or may not appear, as they would had
// they arrived a moment earlier or later.
#include <optional>
#include <string>
#include <vector>

#include "Server/HttpHeader.h"
#include "Server/Node.h"
#include "Server/Options.h"
#include "Server/SocketStream.h"
#include "mail/MailText.h"
#include "mail/MailboxNode.h"
#include "mail/MessageNode.h"
#include "mail/MessageUrl.h"
#include "mail/MimePage.h"
#include "mail/MimeText.h"

namespace {

constexpr std::size_t kRowBatch = 512;
constexpr std::size_t kSenderShown = 30;   // longer: the first 24 bytes and "..."
constexpr std::size_t kSubjectShown = 50;  // longer: the first 47 bytes and "..."

enum class EOrder { Threaded, ByName, BySubject, ByDate, Newest };

EOrder OrderOf(const std::string& sort) {
    if (sort.empty()) return EOrder::Threaded;
    if (sort == "FROM") return EOrder::ByName;
    if (sort == "SUBJECT") return EOrder::BySubject;
    if (sort == "DATE") return EOrder::ByDate;
    return EOrder::Newest;  // any other value: every message, newest first
}

// The addresses of the row icons, looked up once per page.
struct CRowIcons {
    std::string m_text;    // "tptext.gif": a message without thread, or any sorted row
    std::string m_open;    // "tpfldopn.gif": the opened thread's root
    std::string m_closed;  // "tpfldcls.gif": a root with replies
};

std::string IconUrl(std::string_view name, const COptions* options) {
    const CNode* icon = FindIcon(name);
    return icon ? NodeUrl(*icon, options) : std::string();
}

std::string Shortened(std::string text, std::size_t limit, std::size_t keep, bool utf8) {
    if (utf8) {
        // Decoded text counts characters, so a cut never splits one.
        if (Utf8Length(text) > limit) text = text.substr(0, Utf8Prefix(text, keep)) + "...";
        return text;
    }
    if (text.size() > limit) text = text.substr(0, keep) + "...";
    return text;
}

// The row of one message. Reads its thread links: the caller holds the mailbox's ReadLock().
std::string RowText(CMessageNode& message, CSocketStream& out, const CRowIcons& icons) {
    const COptions& options = *out.m_options;
    const std::optional<int> expand = ViewNumber(options.m_expand);
    const bool sorted = !options.m_sort.empty();
    const bool opened = expand && *expand == message.m_number;
    const bool root = !message.m_isReply;
    const bool hasReplies = root && message.m_nextInThread;

    const bool noName = message.m_fromName.empty() || message.m_fromName == " ";
    std::string sender = noName ? message.m_fromAddress : message.m_fromName;
    std::string subject = message.m_subject;
    ReplaceAll(sender, '<', "&lt;");
    ReplaceAll(subject, '<', "&lt;");
    const bool utf8 = message.Mailbox()->Options().m_mime != 0;
    sender = Shortened(std::move(sender), kSenderShown, 24, utf8);
    subject = Shortened(std::move(subject), kSubjectShown, 47, utf8);
    // A closed thread is dated by its newest reply, so fresh discussion shows at a glance.
    const CMessageNode* dated = message.LastReply();
    if (sorted || !hasReplies || opened || dated == nullptr) dated = &message;
    const std::string date = EscapeLessThan(dated->m_dateKey);

    const std::string* icon = nullptr;
    if (sorted) {
        icon = &icons.m_text;
    } else if (opened) {
        icon = &icons.m_open;
    } else if (hasReplies) {
        icon = &icons.m_closed;
    } else if (root) {
        icon = &icons.m_text;
    }

    const std::string link = message.BuildMessageUrl(out, nullptr);
    std::string row = "<TR><TD Width=25><a href=" + link;
    if (icon && !icon->empty()) {
        row += "><img border=0 src=" + *icon + "></a> </td>";
    } else {
        row += "> </a> </td>";
    }
    row += "<TD Width=200> <a href=" + link + ">" + sender + "</a>";
    row += "<TD Width=350> <a href=" + link + ">" + subject + "</a>";
    row += "<TD Width=100> <a href=" + link + ">" + date + "</a><BR></TR>";
    return row;
}

// The first record of an order, and the one after `current`. Caller holds ReadLock().
CMessageNode* FirstOf(const CMailboxNode& mailbox, EOrder order) {
    switch (order) {
        case EOrder::Threaded:
            return mailbox.NewestRoot();
        case EOrder::ByName:
            return mailbox.FirstByName();
        case EOrder::BySubject:
            return mailbox.FirstBySubject();
        case EOrder::ByDate:
            return mailbox.FirstByDate();
        case EOrder::Newest:
            break;
    }
    return mailbox.Newest();
}

CMessageNode* NextOf(const CMessageNode& current, EOrder order, std::optional<int> expand) {
    switch (order) {
        case EOrder::Threaded:
            // Roots newest first; the opened root is followed by its replies in read order.
            if (current.m_isReply) {
                if (current.m_nextInThread) return current.m_nextInThread;
                return current.ThreadRoot()->OlderRoot();
            }
            if (expand && *expand == current.m_number && current.m_nextInThread) {
                return current.m_nextInThread;
            }
            return current.OlderRoot();
        case EOrder::ByName:
            return current.NextByName();
        case EOrder::BySubject:
            return current.NextBySubject();
        case EOrder::ByDate:
            return current.NextByDate();
        case EOrder::Newest:
            break;
    }
    return static_cast<CMessageNode*>(current.m_next);
}

}  // namespace

void CMessageNode::WriteListEntry(CSocketStream& out) {
    COptions defaults;
    CRequestView view(out, defaults);
    CRowIcons icons{IconUrl("tptext.gif", out.m_options), IconUrl("tpfldopn.gif", out.m_options),
                    IconUrl("tpfldcls.gif", out.m_options)};
    std::string row;
    {
        auto lock = Mailbox()->ReadLock();
        row = RowText(*this, out, icons);
    }
    out << row << EndLine;
}

void CMailboxNode::Reply(CSocketStream& out) {
    COptions defaults;
    CRequestView view(out, defaults);
    const COptions& options = *out.m_options;
    const std::optional<int> expand = ViewNumber(options.m_expand);
    const std::optional<int> topOfList = ViewNumber(options.m_topOfList);
    const EOrder order = OrderOf(options.m_sort);
    const CRowIcons icons{IconUrl("tptext.gif", &options), IconUrl("tpfldopn.gif", &options),
                          IconUrl("tpfldcls.gif", &options)};
    const std::string upIcon = IconUrl("up.gif", &options);
    const std::string backIcon = IconUrl("back.gif", &options);
    const std::string vrmlIcon = IconUrl("vrml.gif", &options);
    const std::string parentUrl = m_parent ? NodeUrl(*m_parent, &options) : std::string();
    const std::string ownUrl = NodeUrl(*this, &options);

    WriteHttpHeader(out, MailPageType(*this), 0, 0);
    out << "<HEAD><TITLE>Mailbox " << EscapeLessThan(m_label) << "</TITLE></HEAD>" << EndLine;
    out << "<BODY>" << EndLine;
    if (!topOfList) out << "<A NAME=TOP> </a><p>" << EndLine;

    out << "<table Width=100% border=0><td><A HREF=" << parentUrl;
    if (!upIcon.empty()) {
        out << "><img border=0 src=" << upIcon << ">";
    } else {
        out << ">UP";
    }
    out << "[UP]</A></TD>" << EndLine;
    if (!options.m_sort.empty()) {
        out << "<TD><A HREF=" << ownUrl;
        if (!backIcon.empty()) out << "><img border=0 src=" << backIcon;
        out << ">Original order & threaded</A></TD>" << EndLine;
    }
    out << "<td align=Right><A HREF=" << parentUrl << "?SCENE>[VRML]";
    if (!vrmlIcon.empty()) {
        out << "<img src=" << vrmlIcon << ">";
    } else {
        out << "VRML";
    }
    out << "</A></TD></TABLE><HR>" << EndLine;

    out << "<Table Width=675 border=0> <Caption> <h2>Mailbox " << EscapeLessThan(m_name)
        << "</h2></Caption>";
    out << "<TH Align=Left Width=25> ";
    out << "<TH Align=Left width=200><a href=" << ownUrl << "?SORT=FROM>From</a>";
    out << "<TH Align=Left width=350><a href=" << ownUrl << "?SORT=SUBJECT>Subject</a>";
    out << "<TH Align=Left width=100><a href=" << ownUrl << "?SORT=DATE>Date</a><BR>";

    std::vector<std::string> rows;
    CMessageNode* next = nullptr;
    bool started = false;
    do {
        rows.clear();
        {
            auto lock = ReadLock();
            CMessageNode* message = started ? next : FirstOf(*this, order);
            for (; message && rows.size() < kRowBatch; message = NextOf(*message, order, expand)) {
                std::string row;
                if (topOfList && *topOfList == message->m_number) {
                    row =
                        "</TABLE><A NAME=TOP> </a><TABLE Width=675 border=0>"
                        "<TR><TH width=25></TH><TH width=200></TH><TH width=350></TH>"
                        "<TH width=100></TH></TR>";
                }
                row += RowText(*message, out, icons);
                rows.push_back(std::move(row));
            }
            next = message;
            started = true;
        }
        for (const std::string& row : rows)
            out << row << EndLine;
    } while (next != nullptr);

    out << "</TABLE><HR>" << EndLine;
    out << Options().m_tail << EndLine;
    out << "<br><p><br><p><br><p><br><p><br><p>" << EndLine;
    out << "</BODY>" << EndLine;
}
