// SmtpSession.cpp - command table, handlers, DATA framing and the store at the end mark.
#include "smtp/SmtpSession.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_set>

#include "server/LogText.h"
#include "server/ServerState.h"
#include "mail/MailSpool.h"
#include "mail/MailboxNode.h"
#include "platform/HostName.h"

namespace {

constexpr std::string_view kReplyStartData = "354 Start mail input; end with <CRLF>.<CRLF>";
constexpr std::string_view kReplyUnrecognized = "500 Syntax error, command unrecognized";
constexpr std::string_view kReplyNotImplemented = "502 Command not implemented";
constexpr std::string_view kReplyUnavailable =
    "550 Requested action not taken: mailbox unavailable";
constexpr std::string_view kReplyNotAllowed =
    "553 Requested action not taken: Mailbox name not allowed";
constexpr std::string_view kReplyTooBig =
    "552 Requested mail action aborted: exceeded storage allocation";
constexpr std::string_view kReplyNoStorage =
    "452 Requested action not taken: insufficient system storage";
constexpr std::string_view kReplyLocalError =
    "451 Requested action aborted: local error in processing";

std::atomic<std::size_t> g_heldBytes{0};

// Names no mailbox folder has, remembered for the process so that each stays unknown (550)
// even if such a folder appears later; the oldest is forgotten past the bound.
class CUnknownNames {
  public:
    bool Contains(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_names.count(name) != 0;
    }
    void Add(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_names.insert(name).second) return;
        m_order.push_back(name);
        if (m_order.size() > CSmtpSession::kMaxUnknownRecipients) {
            m_names.erase(m_order.front());
            m_order.pop_front();
        }
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_names.clear();
        m_order.clear();
    }

  private:
    std::mutex m_mutex;
    std::unordered_set<std::string> m_names;
    std::deque<std::string> m_order;
};

CUnknownNames& UnknownNames() {
    static CUnknownNames names;
    return names;
}

std::string Line(std::string_view text, std::string_view more = {}) {
    std::string reply;
    reply.reserve(text.size() + more.size() + 2);
    reply.append(text).append(more).append("\r\n");
    return reply;
}

// strtok over a string_view: skips leading delimiters, returns the token and moves past the
// one delimiter that ends it. Empty when only delimiters are left.
class CTokenizer {
  public:
    explicit CTokenizer(std::string_view text) : m_rest(text) {}
    std::string_view Next(std::string_view delimiters) {
        std::size_t start = m_rest.find_first_not_of(delimiters);
        if (start == std::string_view::npos) {
            m_rest = {};
            return {};
        }
        std::size_t end = m_rest.find_first_of(delimiters, start);
        std::string_view token =
            m_rest.substr(start, end == std::string_view::npos ? end : end - start);
        m_rest = end == std::string_view::npos ? std::string_view{} : m_rest.substr(end + 1);
        return token;
    }
    std::string_view Rest() const { return m_rest; }

  private:
    std::string_view m_rest;
};

// The console shows each command before its reply goes out; one unit, so a log line of
// another thread cannot come between the line and its line end.
void Echo(std::string_view line) {
    ::flockfile(stdout);
    WriteLogText(stdout, line);
    ::putc_unlocked('\n', stdout);
    ::funlockfile(stdout);
    std::fflush(stdout);
}

}  // namespace

const std::string& SmtpHostName() {
    // Looked up once: the lookup reads the resolver's files, which would otherwise cost two
    // lookups per connection (HELO and QUIT).
    static const std::string name = [] {
        std::string found = LocalHostName();
        return found.empty() ? std::string("localhost") : found;
    }();
    return name;
}

void SmtpUpperCase(std::string& text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
}

std::string RcptMailboxName(std::string_view argument) {
    CTokenizer tokens(argument);
    tokens.Next(" :");  // "TO", not checked
    std::string_view address = tokens.Next("<>");
    if (address.empty()) return {};
    return std::string(CTokenizer(address).Next("@."));
}

CMailboxNode* FindMailboxFolder(std::string_view name) {
    if (!g_state.m_topicsFolder) return nullptr;
    return dynamic_cast<CMailboxNode*>(g_state.m_topicsFolder->FindChild(name));
}

CSmtpSession::~CSmtpSession() {
    DropMessage();
}

std::size_t CSmtpSession::TotalHeldBytes() {
    return g_heldBytes.load();
}

void CSmtpSession::ForgetUnknownNamesForTests() {
    UnknownNames().Clear();
}

std::string CSmtpSession::Greeting() {
    return Line(kSmtpGreeting);
}

std::size_t CSmtpSession::Feed(std::string_view received) {
    if (m_unitReady) return 0;
    try {
        return m_inData ? FeedData(received) : FeedCommand(received);
    } catch (const std::bad_alloc&) {
        // Whatever the unit was, it cannot be carried out: RunUnit answers 451 and closes.
        DropMessage();
        m_bound = EBound::kMemory;
        m_unitReady = true;
        return received.size();
    }
}

std::size_t CSmtpSession::FeedCommand(std::string_view received) {
    // As a line read of kCommandChars characters: up to the LF (consumed, not kept) or that
    // many characters; the rest of a longer line is the next command.
    std::size_t room = kCommandChars - m_line.size();
    std::string_view window = received.substr(0, room);
    std::size_t lf = window.find('\n');
    if (lf != std::string_view::npos) {
        m_line.append(window.substr(0, lf));
        m_unitReady = true;
        return lf + 1;
    }
    m_line.append(window);
    if (m_line.size() == kCommandChars) m_unitReady = true;
    return window.size();
}

std::size_t CSmtpSession::FeedData(std::string_view received) {
    std::size_t used = 0;
    while (used < received.size() && !m_unitReady) {
        std::size_t room = kDataChars - m_line.size();
        std::string_view window = received.substr(used, room);
        std::size_t lf = window.find('\n');
        if (lf == std::string_view::npos) {
            m_line.append(window);
            used += window.size();
            if (m_line.size() < kDataChars) break;
            DataPiece(m_line, true);
        } else {
            m_line.append(window.substr(0, lf));
            used += lf + 1;
            DataPiece(m_line, m_line.size() == kDataChars);
        }
        m_line.clear();
    }
    return used;
}

void CSmtpSession::DataPiece(std::string_view piece, bool cut) {
    if (m_previousCut && piece.empty() && !cut) {
        // Only the LF of a line that filled the previous piece exactly: no line of its own.
        m_previousCut = false;
        m_previousEndedCrLf = m_cutEndedCr;
        return;
    }
    // The "." line ends the data only after a line that ended with CR LF (or as the first
    // line): a bare LF before it must not let a second message ride along unseen.
    const bool startsLine = !m_previousCut;
    if (startsLine && !cut && m_previousEndedCrLf && piece == ".\r") {
        m_unitReady = true;
        return;
    }
    const bool endedCr = !piece.empty() && piece.back() == '\r';
    if (endedCr) piece.remove_suffix(1);
    // Transparency: the client doubled a leading dot.
    if (startsLine && piece.size() > 1 && piece.front() == '.') piece.remove_prefix(1);
    AddLine(piece);
    m_previousCut = cut;
    if (cut) {
        m_cutEndedCr = endedCr;
    } else {
        m_previousEndedCrLf = endedCr;
    }
}

void CSmtpSession::AddLine(std::string_view text) {
    if (m_bound != EBound::kNone || m_recipients.empty()) return;
    const std::size_t needed = m_message.size() + text.size() + 1;
    if (needed > kMaxMessageBytes) {
        // Keep nothing of a message that cannot be stored whole.
        DropMessage();
        m_bound = EBound::kMessage;
        return;
    }
    if (needed > m_message.capacity()) {
        // Grow straight to the bound rather than double past it.
        std::size_t wanted = std::max({needed, std::size_t{4096}, m_message.capacity() * 2});
        if (m_message.capacity() > kMaxMessageBytes / 4) wanted = kMaxMessageBytes;
        wanted = std::min(wanted, kMaxMessageBytes);
        const std::size_t more = wanted - m_accounted;
        if (g_heldBytes.fetch_add(more) + more > kMaxTotalBytes) {
            g_heldBytes.fetch_sub(more);
            DropMessage();
            m_bound = EBound::kTotal;
            return;
        }
        m_accounted = wanted;
        m_message.reserve(wanted);
    }
    m_message.append(text).push_back('\n');
}

void CSmtpSession::DropMessage() {
    std::string().swap(m_message);
    g_heldBytes.fetch_sub(m_accounted);
    m_accounted = 0;
}

void CSmtpSession::Closed() {
    DropMessage();
    m_recipients.clear();
    m_recipientNames.clear();
    m_line.clear();
    m_inData = false;
    m_unitReady = false;
}

CSmtpSession::CResult CSmtpSession::RunUnit() {
    if (!m_unitReady) return {};
    m_unitReady = false;
    try {
        if (m_bound == EBound::kMemory) {
            m_bound = EBound::kNone;
            m_inData = false;
            m_line.clear();
            return {Line(kReplyLocalError), true};
        }
        if (m_inData) return RunStore();
        std::shared_lock<std::shared_mutex> tree(g_state.m_deliveryLock);
        return RunReadyCommand();
    } catch (const std::bad_alloc&) {
        DropMessage();
        return {Line(kReplyLocalError), true};
    }
}

bool CSmtpSession::RunUnitNow(CResult& result) {
    if (!m_unitReady || m_inData || m_bound == EBound::kMemory) return false;
    // RCPT reads the site tree; a reload holding it must not stop the loop.
    std::shared_lock<std::shared_mutex> tree(g_state.m_deliveryLock, std::try_to_lock);
    if (!tree.owns_lock()) return false;
    m_unitReady = false;
    try {
        result = RunReadyCommand();
    } catch (const std::bad_alloc&) {
        DropMessage();
        result = {Line(kReplyLocalError), true};
    }
    // The loop thread keeps no tree alive past the command: a reload may free it.
    SiteTree::Unpin();
    return true;
}

// The command line received; the caller holds the site tree (g_state.m_deliveryLock).
CSmtpSession::CResult CSmtpSession::RunReadyCommand() {
    std::string line;
    line.swap(m_line);
    return RunCommand(line);
}

CSmtpSession::CResult CSmtpSession::RunCommand(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Echo(line);
    if (line.size() < 4) return {Line(kReplyUnrecognized), true};
    SmtpUpperCase(line);
    CTokenizer tokens(line);
    std::string_view word = tokens.Next(" \t?\n\r");
    std::string_view argument = tokens.Rest();

    if (word == "HELO") return {Line("250 ", SmtpHostName())};
    if (word == "MAIL" || word == "RSET") {
        // A new transaction, or the end of this one: nothing to store, nothing kept.
        m_recipients.clear();
        m_recipientNames.clear();
        return {Line(kSmtpOk)};
    }
    if (word == "RCPT") return {OnRcpt(argument)};
    if (word == "DATA") {
        m_inData = true;
        m_bound = EBound::kNone;
        m_previousEndedCrLf = true;
        m_previousCut = false;
        return {Line(kReplyStartData)};
    }
    if (word == "NOOP") return {Line(kSmtpOk)};
    if (word == "QUIT") {
        m_recipients.clear();
        m_recipientNames.clear();
        return {Line("221 " + SmtpHostName(), " Service closing transmission channel"), true};
    }
    return {Line(kReplyNotImplemented)};
}

std::string CSmtpSession::OnRcpt(std::string_view argument) {
    std::string name = RcptMailboxName(argument);
    if (name.empty()) return Line(kReplyNotAllowed);
    if (std::find(m_recipientNames.begin(), m_recipientNames.end(), name) !=
        m_recipientNames.end()) {
        return Line(kSmtpOk);
    }
    if (UnknownNames().Contains(name)) return Line(kReplyUnavailable);
    SiteTree::PinPublished();
    CMailboxNode* mailbox = FindMailboxFolder(name);
    if (!mailbox) {
        UnknownNames().Add(name);
        return Line(kReplyUnavailable);
    }
    m_recipientNames.push_back(std::move(name));
    // Two names of one mailbox (they differ only in case beyond ASCII) store one copy.
    if (std::find(m_recipients.begin(), m_recipients.end(), mailbox) == m_recipients.end()) {
        m_recipients.push_back(mailbox);
    }
    return Line(kSmtpOk);
}

CSmtpSession::CResult CSmtpSession::RunStore() {
    m_inData = false;
    const EBound bound = m_bound;
    m_bound = EBound::kNone;
    CResult result{Line(kSmtpOk)};
    if (m_recipients.empty()) {
        // Nobody to store it for: the lines were read and dropped.
    } else if (bound == EBound::kMessage) {
        result.m_reply = Line(kReplyTooBig);
    } else if (bound == EBound::kTotal) {
        result.m_reply = Line(kReplyNoStorage);
    } else {
        // The console sees the message as it was received, once per mailbox.
        for (std::size_t i = 0; i < m_recipients.size(); ++i)
            WriteLogText(stdout, m_message);
        std::fflush(stdout);
        // The names are looked up again: a reload since RCPT may have replaced the mailboxes
        // (the old nodes are only compared, never used, after that).
        std::shared_lock<std::shared_mutex> tree(g_state.m_deliveryLock);
        SiteTree::PinPublished();
        std::vector<CMailboxNode*> mailboxes;
        for (const std::string& name : m_recipientNames) {
            CMailboxNode* mailbox = FindMailboxFolder(name);
            if (mailbox &&
                std::find(mailboxes.begin(), mailboxes.end(), mailbox) == mailboxes.end())
                mailboxes.push_back(mailbox);
        }
        // Every mailbox named went away with a reload: nothing was stored, so no 250.
        const EStoreResult stored =
            mailboxes.empty() ? EStoreResult::kFailed : CMailSpool::Deliver(mailboxes, m_message);
        if (mailboxes.empty()) {
            result.m_reply = Line(kReplyUnavailable);
        } else if (stored == EStoreResult::kNoSpace) {
            result.m_reply = Line(kReplyNoStorage);
        } else if (stored == EStoreResult::kFailed) {
            result.m_reply = Line(kReplyLocalError);
        }
    }
    // A buffer of ordinary size is kept for the next message; a large one is given back.
    if (m_message.capacity() > kKeptCapacity) {
        DropMessage();
    } else {
        m_message.clear();
    }
    return result;
}
