// IndexPage.cpp - the mailbox index page: navigation bar, caption, the header row of sort
// links, and one row per listed message in one of four orders.
//
// Rows are built under the mailbox's shared lock in batches of kRowBatch and written after it
// is released, so a slow client never holds up a delivery, and a page of any length needs the
// memory of one batch. Records are never removed, so the walk resumes from the last record of
// the previous batch; messages delivered in between may or may not appear, as they would had
// they arrived a moment earlier or later.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/HttpHeader.h"
#include "server/Node.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "mail/MailText.h"
#include "mail/MailboxNode.h"
#include "mail/MessageNode.h"
#include "mail/MessageSearch.h"
#include "mail/MessageUrl.h"
#include "mail/MimePage.h"
#include "mail/MimeText.h"
#include "text/AsciiText.h"

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
// `flat`: rows in a list of single messages (any sort, or a search), not of threads.
std::string RowText(CMessageNode& message, CSocketStream& out, const CRowIcons& icons, bool flat) {
    const COptions& options = *out.m_options;
    const std::optional<int> expand = ViewNumber(options.m_expand);
    const bool sorted = flat;
    const bool opened = expand && *expand == message.m_number;
    const bool root = !message.m_isReply;
    const bool hasReplies = root && message.m_nextInThread;

    const bool noName = message.m_fromName.empty() || message.m_fromName == " ";
    std::string sender = EscapeLessThan(noName ? message.m_fromAddress : message.m_fromName);
    std::string subject = EscapeLessThan(message.m_subject);
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

// The rows a search or a page shows, chosen in one walk under the lock, and how many rows
// the whole list has.
struct CSelection {
    std::vector<CMessageNode*> m_rows;
    std::size_t m_first = 0;  // the place of m_rows[0] in the whole list
    std::size_t m_total = 0;
};

CSelection Select(const CMailboxNode& mailbox, EOrder order, std::optional<int> expand,
                  const CMessageSearch* search, std::size_t first, std::size_t count) {
    CSelection selection;
    selection.m_first = first;
    auto lock = mailbox.ReadLock();
    for (CMessageNode* message = FirstOf(mailbox, order); message;
         message = NextOf(*message, order, expand)) {
        if (search && !search->Matches(*message)) continue;
        if (selection.m_total >= first && selection.m_total - first < count) {
            selection.m_rows.push_back(message);
        }
        ++selection.m_total;
    }
    return selection;
}

// "<P>Found 3 messages for: WORDS</P>"
std::string FoundLine(const CMessageSearch& search, std::size_t found) {
    return "<P>Found " + std::to_string(found) + (found == 1 ? " message" : " messages") +
           " for: " + EscapeMarkup(search.Text()) + "</P>";
}

// "<P><A HREF=...>previous</A> rows 501-1000 of 1234 <A HREF=...>next</A></P>"; the links
// keep the view (sort, expand, find, a page size of the request's own) and move `start`.
std::string PagerLine(const CSelection& selection, const COptions& options,
                      const std::string& ownUrl, int mailboxPerPage) {
    std::string query;
    if (!options.m_sort.empty()) query += "SORT=" + EscapeAttribute(options.m_sort) + "&";
    if (!options.m_expand.empty()) query += "EXPAND=" + EscapeAttribute(options.m_expand) + "&";
    if (options.m_hasFind) query += "FIND=" + EscapeAttribute(options.m_find) + "&";
    if (options.m_perPage != mailboxPerPage) {
        query += "PERPAGE=" + std::to_string(options.m_perPage) + "&";
    }
    const std::size_t perPage = static_cast<std::size_t>(options.m_perPage);
    const std::size_t first = selection.m_first;
    const std::size_t shown = selection.m_rows.size();
    std::string line = "<P>";
    if (first > 0) {
        const std::size_t previous = first > perPage ? first - perPage : 0;
        line += "<A HREF=" + ownUrl + "?" + query + "START=" + std::to_string(previous) +
                ">previous</A> ";
    }
    if (shown > 0) {
        line += "rows " + std::to_string(first + 1) + "-" + std::to_string(first + shown);
    } else {
        line += "no rows from " + std::to_string(first + 1) + ";";
    }
    line += (shown > 0 ? " of " : " ") + std::to_string(selection.m_total);
    if (shown == 0) line += " in all";
    if (first + shown < selection.m_total) {
        line += " <A HREF=" + ownUrl + "?" + query + "START=" + std::to_string(first + shown) +
                ">next</A>";
    }
    return line + "</P>";
}

// The bar above the index: up to the folder, back to the original order when sorted, the
// folder's scene and, when it is offered, its 3D view.
void WriteIndexBar(CSocketStream& out, const COptions& options, const std::string& parentUrl,
                   const std::string& ownUrl) {
    const std::string upIcon = IconUrl("up.gif", &options);
    const std::string backIcon = IconUrl("back.gif", &options);
    const std::string vrmlIcon = IconUrl("vrml.gif", &options);
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
    out << "</A></TD>";
    if (options.m_webView) out << "<td align=Right><A HREF=" << parentUrl << "?VIEW>[3D]</A></TD>";
    out << "</TABLE><HR>" << EndLine;
}

// The table's caption and its header row, whose cells sort the list.
void WriteTableHead(CSocketStream& out, const std::string& name, const std::string& ownUrl) {
    out << "<Table Width=675 border=0> <Caption> <h2>Mailbox " << EscapeLessThan(name)
        << "</h2></Caption>";
    out << "<TH Align=Left Width=25> ";
    out << "<TH Align=Left width=200><a href=" << ownUrl << "?SORT=FROM>From</a>";
    out << "<TH Align=Left width=350><a href=" << ownUrl << "?SORT=SUBJECT>Subject</a>";
    out << "<TH Align=Left width=100><a href=" << ownUrl << "?SORT=DATE>Date</a><BR>";
}

// Writes the rows of one index page, built a batch at a time under the mailbox's lock.
class CRowWriter {
  public:
    CRowWriter(CMailboxNode& mailbox, CSocketStream& out, EOrder order)
        : m_mailbox(mailbox),
          m_out(out),
          m_order(order),
          m_expand(ViewNumber(out.m_options->m_expand)),
          m_topOfList(ViewNumber(out.m_options->m_topOfList)),
          m_icons{IconUrl("tptext.gif", out.m_options), IconUrl("tpfldopn.gif", out.m_options),
                  IconUrl("tpfldcls.gif", out.m_options)} {}

    // The chosen records stay valid (records are never removed); their links are read under
    // the lock again, a batch at a time.
    void WriteSelected(const std::vector<CMessageNode*>& chosen) {
        for (std::size_t first = 0; first < chosen.size(); first += kRowBatch) {
            m_rows.clear();
            {
                auto lock = m_mailbox.ReadLock();
                const std::size_t last = std::min(chosen.size(), first + kRowBatch);
                for (std::size_t i = first; i < last; ++i)
                    m_rows.push_back(Row(*chosen[i]));
            }
            Flush();
        }
    }

    // Every record in the order, resuming each batch after the last record of the one before.
    void WriteAll() {
        CMessageNode* next = nullptr;
        bool started = false;
        do {
            m_rows.clear();
            {
                auto lock = m_mailbox.ReadLock();
                CMessageNode* message = started ? next : FirstOf(m_mailbox, m_order);
                for (; message && m_rows.size() < kRowBatch;
                     message = NextOf(*message, m_order, m_expand)) {
                    m_rows.push_back(Row(*message));
                }
                next = message;
                started = true;
            }
            Flush();
        } while (next != nullptr);
    }

  private:
    // The message's row, after the anchor a thread opened from a message page jumps to.
    std::string Row(CMessageNode& message) {
        std::string row;
        if (m_topOfList && *m_topOfList == message.m_number) {
            row =
                "</TABLE><A NAME=TOP> </a><TABLE Width=675 border=0>"
                "<TR><TH width=25></TH><TH width=200></TH><TH width=350></TH>"
                "<TH width=100></TH></TR>";
        }
        row += RowText(message, m_out, m_icons, m_order != EOrder::Threaded);
        return row;
    }

    void Flush() {
        for (const std::string& row : m_rows)
            m_out << row << EndLine;
    }

    CMailboxNode& m_mailbox;
    CSocketStream& m_out;
    const EOrder m_order;
    const std::optional<int> m_expand;
    const std::optional<int> m_topOfList;
    const CRowIcons m_icons;
    std::vector<std::string> m_rows;
};

}  // namespace

void CMailboxNode::Reply(CSocketStream& out) {
    CheckSpool();
    COptions defaults;
    CRequestView view(out, defaults);
    const COptions& options = *out.m_options;
    if (options.m_hasId) return ReplyPermalink(out);
    if (options.m_mbox) return ReplyMbox(out);
    if (options.m_atom) return ReplyAtom(out);
    if (options.m_json) return ReplyJson(out);

    // A search lists single messages, newest first unless a sort is asked for.
    const std::optional<CMessageSearch> search =
        options.m_hasFind ? std::optional<CMessageSearch>(options.m_find) : std::nullopt;
    EOrder order = OrderOf(options.m_sort);
    if (search && order == EOrder::Threaded) order = EOrder::Newest;
    const std::string parentUrl = m_parent ? NodeUrl(*m_parent, &options) : std::string();
    const std::string ownUrl = NodeUrl(*this, &options);

    // A search or a page is chosen before anything is written: the counts come first.
    std::optional<CSelection> selection;
    if (search || options.m_start >= 0) {
        const bool paged = options.m_start >= 0;
        selection = Select(*this, order, ViewNumber(options.m_expand), search ? &*search : nullptr,
                           paged ? static_cast<std::size_t>(options.m_start) : 0,
                           paged ? static_cast<std::size_t>(options.m_perPage) : SIZE_MAX);
    }

    WriteHttpHeader(out, MailPageType(*this), 0, 0);
    out << "<HEAD><TITLE>Mailbox " << EscapeLessThan(m_label) << "</TITLE></HEAD>" << EndLine;
    out << "<BODY>" << EndLine;
    if (!ViewNumber(options.m_topOfList)) out << "<A NAME=TOP> </a><p>" << EndLine;
    WriteIndexBar(out, options, parentUrl, ownUrl);
    std::string pager;
    if (selection) {
        if (search) out << FoundLine(*search, selection->m_total) << EndLine;
        if (options.m_start >= 0) {
            pager = PagerLine(*selection, options, ownUrl, Options().m_perPage);
            out << pager << EndLine;
        }
    }
    WriteTableHead(out, m_name, ownUrl);
    CRowWriter rows(*this, out, order);
    if (selection) {
        rows.WriteSelected(selection->m_rows);
    } else {
        rows.WriteAll();
    }

    out << "</TABLE><HR>" << EndLine;
    if (!pager.empty()) out << pager << EndLine;
    out << Options().m_tail << EndLine;
    out << "<br><p><br><p><br><p><br><p><br><p>" << EndLine;
    out << "</BODY>" << EndLine;
}
