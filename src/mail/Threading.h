// Threading.h - CThreadIndex, how a mailbox threads each new record and keeps its three
// sorted lists without walking them.
//
// A new message looks up the newest earlier message with its reply reference as message id,
// with its subject, and with the rest of its subject (after three bytes and the spaces
// following them); the newest of those found is its match. Sorted lists keep their links in
// the records; ordered sets keyed by (key, number) find each insertion point, so a new
// record goes after every record with an equal key. Everything here is written only by the
// mailbox's reader under the exclusive lock.
#pragma once

#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

#include "mail/MessageNode.h"

class CMailboxNode;

class CThreadIndex {
  public:
    explicit CThreadIndex(CMailboxNode& mailbox) : m_mailbox(mailbox) {}

    // Threads `message` (the newest record, numbered above every earlier one) and links it
    // into the three sorted lists and the chain of roots.
    void Insert(CMessageNode& message);

    // The upper-cased first three bytes of a subject longer than three bytes, and the rest
    // after them with leading spaces removed; both empty for a shorter subject.
    static std::string SubjectPrefix(std::string_view subject);
    static std::string_view SubjectRest(std::string_view subject);

  private:
    template <std::string CMessageNode::*Key>
    struct ByKey {
        bool operator()(const CMessageNode* a, const CMessageNode* b) const {
            const std::string& ka = a->*Key;
            const std::string& kb = b->*Key;
            // std::string compares bytes as unsigned char: upper case before lower case.
            int order = ka.compare(kb);
            if (order != 0) return order < 0;
            return a->m_number < b->m_number;
        }
    };

    CMessageNode* FindMatch(const CMessageNode& message) const;
    template <std::string CMessageNode::*Key, CMessageNode* CMessageNode::*Next,
              CMessageNode* CMessageNode::*Prev>
    static void Link(std::set<CMessageNode*, ByKey<Key>>& index, CMessageNode& message,
                     CMessageNode*& head);

    CMailboxNode& m_mailbox;
    // Keys are views into the records' own strings, which never change or move.
    std::unordered_map<std::string_view, CMessageNode*> m_byMessageId;
    std::unordered_map<std::string_view, CMessageNode*> m_bySubject;
    std::set<CMessageNode*, ByKey<&CMessageNode::m_fromName>> m_byName;
    std::set<CMessageNode*, ByKey<&CMessageNode::m_subject>> m_bySubjectOrder;
    std::set<CMessageNode*, ByKey<&CMessageNode::m_dateKey>> m_byDate;
};
