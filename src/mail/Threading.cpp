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

template <CMessageNode* CMessageNode::*Next, CMessageNode* CMessageNode::*Prev>
void CThreadIndex::Splice(CMessageNode& message, CMessageNode* before, CMessageNode*& head) {
    CMessageNode* behind = before ? before->*Next : head;
    message.*Prev = before;
    message.*Next = behind;
    if (before) {
        before->*Next = &message;
    } else {
        head = &message;
    }
    if (behind) behind->*Prev = &message;
}

template <std::string CMessageNode::*Key, CMessageNode* CMessageNode::*Next,
          CMessageNode* CMessageNode::*Prev>
void CThreadIndex::Link(CKeyIndex& index, CMessageNode& message, CMessageNode*& head) {
    auto found = index.Emplace(CSortKey(message.*Key), &message);
    CMessageNode* before;
    if (found.m_inserted) {
        // A new key: after the last record of the next smaller key, if any.
        before = found.m_before ? *found.m_before : nullptr;
    } else {
        // The record has the highest number: after every record with an equal key.
        before = *found.m_slot;
        *found.m_slot = &message;
    }
    Splice<Next, Prev>(message, before, head);
}

void CThreadIndex::Reserve(std::size_t more) {
    if (more < 4096) return;  // small reads: growing as needed is cheaper than rehashing now
    m_byMessageId.reserve(m_byMessageId.size() + more);
    m_bySubject.reserve(m_bySubject.size() + more / 2);
}

void CThreadIndex::Insert(CMessageNode& message) {
    // The subject's slot holds the newest earlier record with this subject (null if none);
    // it serves threading and the subject list alike.
    auto [subjectSlot, newSubject] = m_bySubject.try_emplace(message.m_subject, nullptr);
    CMessageNode* sameSubject = subjectSlot->second;

    bool threaded = SubjectPrefix(message.m_subject) == "RE:" || !message.m_inReplyTo.empty();
    if (threaded) {
        // The newest of the candidates is the one a walk from the newest message meets first.
        CMessageNode* match = sameSubject;
        auto consider = [&](const CLastByKey& map, std::string_view key) {
            auto found = map.find(key);
            if (found != map.end() && found->second &&
                (!match || found->second->m_number > match->m_number)) {
                match = found->second;
            }
        };
        if (!message.m_inReplyTo.empty()) consider(m_byMessageId, message.m_inReplyTo);
        consider(m_bySubject, SubjectRest(message.m_subject));
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
        }
    }
    if (!message.m_isReply) {
        message.m_olderRoot = m_mailbox.m_newestRoot;
        m_mailbox.m_newestRoot = &message;
    }
    if (!message.m_messageId.empty()) m_byMessageId[message.m_messageId] = &message;

    CMessageNode* beforeSubject = sameSubject;
    if (newSubject) {
        auto found = m_subjectKeys.Emplace(CSortKey(message.m_subject), &subjectSlot->second);
        beforeSubject = found.m_before ? **found.m_before : nullptr;
    }
    Splice<&CMessageNode::m_nextBySubject, &CMessageNode::m_prevBySubject>(
        message, beforeSubject, m_mailbox.m_firstBySubject);
    subjectSlot->second = &message;

    Link<&CMessageNode::m_dateOrder, &CMessageNode::m_nextByDate, &CMessageNode::m_prevByDate>(
        m_byDate, message, m_mailbox.m_firstByDate);
    Link<&CMessageNode::m_fromName, &CMessageNode::m_nextByName, &CMessageNode::m_prevByName>(
        m_byName, message, m_mailbox.m_firstByName);
}
