// Threading.cpp - threading a new record and linking it into the sorted lists.
#include "mail/Threading.h"

#include "mail/MailboxNode.h"

std::string CThreadIndex::SubjectPrefix(std::string_view subject) {
    if (subject.size() <= 3) return {};
    std::string prefix(subject.substr(0, 3));
    for (char& c : prefix) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return prefix;
}

std::string_view CThreadIndex::SubjectRest(std::string_view subject) {
    if (subject.size() <= 3) return {};
    std::string_view rest = subject.substr(3);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    return rest;
}

CMessageNode* CThreadIndex::FindMatch(const CMessageNode& message) const {
    // Each map gives the newest earlier record with that key; the newest of those is the
    // record a walk from the newest message would meet first.
    CMessageNode* best = nullptr;
    auto consider = [&](const std::unordered_map<std::string_view, CMessageNode*>& map,
                        std::string_view key) {
        auto found = map.find(key);
        if (found != map.end() && (!best || found->second->m_number > best->m_number)) {
            best = found->second;
        }
    };
    if (!message.m_inReplyTo.empty()) consider(m_byMessageId, message.m_inReplyTo);
    consider(m_bySubject, message.m_subject);
    consider(m_bySubject, SubjectRest(message.m_subject));
    return best;
}

template <std::string CMessageNode::*Key, CMessageNode* CMessageNode::*Next,
          CMessageNode* CMessageNode::*Prev>
void CThreadIndex::Link(std::set<CMessageNode*, ByKey<Key>>& index, CMessageNode& message,
                        CMessageNode*& head) {
    // The new record has the highest number, so it lands after every equal key.
    auto [at, inserted] = index.insert(&message);
    (void)inserted;
    CMessageNode* before = at == index.begin() ? nullptr : *std::prev(at);
    auto after = std::next(at);
    CMessageNode* behind = after == index.end() ? nullptr : *after;
    message.*Prev = before;
    message.*Next = behind;
    if (before) {
        before->*Next = &message;
    } else {
        head = &message;
    }
    if (behind) behind->*Prev = &message;
}

void CThreadIndex::Insert(CMessageNode& message) {
    bool threaded = SubjectPrefix(message.m_subject) == "RE:" || !message.m_inReplyTo.empty();
    CMessageNode* match = threaded ? FindMatch(message) : nullptr;
    if (match) {
        CMessageNode* root = match->m_threadRoot ? match->m_threadRoot : match;
        message.m_threadRoot = root;
        message.m_isReply = 1;
        if (root->m_lastInThread) {
            root->m_lastInThread->m_nextInThread = &message;
        } else {
            root->m_nextInThread = &message;
        }
        root->m_lastInThread = &message;
    } else {
        message.m_olderRoot = m_mailbox.m_newestRoot;
        m_mailbox.m_newestRoot = &message;
    }
    if (!message.m_messageId.empty()) m_byMessageId[message.m_messageId] = &message;
    m_bySubject[message.m_subject] = &message;

    Link<&CMessageNode::m_subject, &CMessageNode::m_nextBySubject, &CMessageNode::m_prevBySubject>(
        m_bySubjectOrder, message, m_mailbox.m_firstBySubject);
    Link<&CMessageNode::m_dateKey, &CMessageNode::m_nextByDate, &CMessageNode::m_prevByDate>(
        m_byDate, message, m_mailbox.m_firstByDate);
    Link<&CMessageNode::m_fromName, &CMessageNode::m_nextByName, &CMessageNode::m_prevByName>(
        m_byName, message, m_mailbox.m_firstByName);
}
