// Threading.h - CThreadIndex, how a mailbox threads each new record and keeps its three
// sorted lists without walking them.
//
// A new message looks up the newest earlier message with its reply reference as message id,
// with its subject, and with the rest of its subject (after three bytes and the spaces
// following them); the newest of those found is its match. Sorted lists keep their links in
// the records. Each list has an ordered map from every distinct key to the last record with
// that key, so a new record goes right after it, or, for a new key, after the last record of
// the next smaller key: the order is by key, then by arrival. Everything here is written only
// by the mailbox's reader under the exclusive lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "mail/MessageNode.h"
#include "mail/SortedKeys.h"

class CMailboxNode;

class CThreadIndex {
  public:
    explicit CThreadIndex(CMailboxNode& mailbox) : m_mailbox(mailbox) {}

    // Threads `message` (the newest record, numbered above every earlier one) and links it
    // into the three sorted lists and the chain of roots.
    void Insert(CMessageNode& message);
    // Makes room for about `more` further records at once, so a large first read does not
    // rebuild the hash maps again and again as they grow.
    void Reserve(std::size_t more);

    // The upper-cased first three bytes of a subject longer than three bytes, and the rest
    // after them with leading spaces removed; both empty for a shorter subject.
    static std::string SubjectPrefix(std::string_view subject);
    static std::string_view SubjectRest(std::string_view subject);

  private:
    // Key -> last record with it. The subject list shares its "last" with m_bySubject.
    using CKeyIndex = CSortedKeys<CMessageNode*>;
    using CSharedKeyIndex = CSortedKeys<CMessageNode**>;
    using CLastByKey = std::unordered_map<std::string_view, CMessageNode*>;

    template <CMessageNode* CMessageNode::*Next, CMessageNode* CMessageNode::*Prev>
    static void Splice(CMessageNode& message, CMessageNode* before, CMessageNode*& head);
    template <std::string CMessageNode::*Key, CMessageNode* CMessageNode::*Next,
              CMessageNode* CMessageNode::*Prev>
    static void Link(CKeyIndex& index, CMessageNode& message, CMessageNode*& head);

    CMailboxNode& m_mailbox;
    // Newest record by message id and by subject. Keys view the records' own strings.
    CLastByKey m_byMessageId;
    CLastByKey m_bySubject;
    CKeyIndex m_byName;
    CSharedKeyIndex m_subjectKeys;  // values point into m_bySubject
    CKeyIndex m_byDate;
};
