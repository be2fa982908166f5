// SmtpSession.cpp - the session state machine: command lines, the handlers and the store at
// the end mark.
#include "smtp/SmtpSession.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_set>

#include "server/LogText.h"
#include "server/ServerState.h"
#include "mail/MailSpool.h"
#include "mail/MailboxNode.h"

namespace {

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

}  // namespace

CSmtpSession::~CSmtpSession() {
    DropMessage();
}

void CSmtpSession::ForgetUnknownNamesForTests() {
    UnknownNames().Clear();
}

std::string CSmtpSession::Greeting() {
    return SmtpReplyLine(kSmtpGreeting);
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
            return {SmtpReplyLine(kReplyLocalError), true};
        }
        if (m_inData) return RunStore();
        std::shared_lock<std::shared_mutex> tree(g_state.m_deliveryLock);
        return RunReadyCommand();
    } catch (const std::bad_alloc&) {
        DropMessage();
        return {SmtpReplyLine(kReplyLocalError), true};
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
        result = {SmtpReplyLine(kReplyLocalError), true};
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
    SmtpEcho(line);
    if (line.size() < 4) return {SmtpReplyLine(kReplyUnrecognized), true};
    SmtpUpperCase(line);
    CSmtpTokenizer tokens(line);
    std::string_view word = tokens.Next(" \t?\n\r");
    std::string_view argument = tokens.Rest();

    if (word == "HELO") return {SmtpReplyLine("250 ", SmtpHostName())};
    if (word == "MAIL" || word == "RSET") {
        // A new transaction, or the end of this one: nothing to store, nothing kept.
        m_recipients.clear();
        m_recipientNames.clear();
        return {SmtpReplyLine(kSmtpOk)};
    }
    if (word == "RCPT") return {OnRcpt(argument)};
    if (word == "DATA") {
        m_inData = true;
        m_bound = EBound::kNone;
        m_previousEndedCrLf = true;
        m_previousCut = false;
        return {SmtpReplyLine(kReplyStartData)};
    }
    if (word == "NOOP") return {SmtpReplyLine(kSmtpOk)};
    if (word == "QUIT") {
        m_recipients.clear();
        m_recipientNames.clear();
        return {SmtpReplyLine("221 " + SmtpHostName(), " Service closing transmission channel"),
                true};
    }
    return {SmtpReplyLine(kReplyNotImplemented)};
}

std::string CSmtpSession::OnRcpt(std::string_view argument) {
    std::string name = RcptMailboxName(argument);
    if (name.empty()) return SmtpReplyLine(kReplyNotAllowed);
    if (std::find(m_recipientNames.begin(), m_recipientNames.end(), name) !=
        m_recipientNames.end()) {
        return SmtpReplyLine(kSmtpOk);
    }
    if (UnknownNames().Contains(name)) return SmtpReplyLine(kReplyUnavailable);
    SiteTree::PinPublished();
    CMailboxNode* mailbox = FindMailboxFolder(name);
    if (!mailbox) {
        UnknownNames().Add(name);
        return SmtpReplyLine(kReplyUnavailable);
    }
    m_recipientNames.push_back(std::move(name));
    // Two names of one mailbox (they differ only in case beyond ASCII) store one copy.
    if (std::find(m_recipients.begin(), m_recipients.end(), mailbox) == m_recipients.end()) {
        m_recipients.push_back(mailbox);
    }
    return SmtpReplyLine(kSmtpOk);
}

CSmtpSession::CResult CSmtpSession::RunStore() {
    m_inData = false;
    const EBound bound = m_bound;
    m_bound = EBound::kNone;
    CResult result{SmtpReplyLine(kSmtpOk)};
    if (m_recipients.empty()) {
        // Nobody to store it for: the lines were read and dropped.
    } else if (bound == EBound::kMessage) {
        result.m_reply = SmtpReplyLine(kReplyTooBig);
    } else if (bound == EBound::kTotal) {
        result.m_reply = SmtpReplyLine(kReplyNoStorage);
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
            result.m_reply = SmtpReplyLine(kReplyUnavailable);
        } else if (stored == EStoreResult::kNoSpace) {
            result.m_reply = SmtpReplyLine(kReplyNoStorage);
        } else if (stored == EStoreResult::kFailed) {
            result.m_reply = SmtpReplyLine(kReplyLocalError);
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