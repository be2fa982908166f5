// MessageNode.h - CMessageNode, the record of one message of a mailbox's spool file.
//
// A record holds the header values the pages show and the links of its thread and of the
// mailbox's three sorted lists; the body stays in the spool and is read again from m_offset
// each time the message page is shown. A record's values never change once it is published;
// only its links are written later, when a newer message joins its thread or lands next to it
// in a sorted list. All links, and the sibling links of the mailbox's children, are read under
// the mailbox's ReadLock() (MailboxNode.h).
//
// The record is named by its number in decimal, so a path <mailbox>/<n> reaches message n.
#pragma once

#include <cstdint>
#include <string>

#include "server/Node.h"

class CMailboxNode;

class CMessageNode : public CNode {
  public:
    // Copies the values, names the node after `number` and builds both date keys from `date`.
    // Threading and the sorted lists are filled when the mailbox publishes the record.
    CMessageNode(int number, std::string date, std::string fromName, std::string fromAddress,
                 std::string messageId, std::string subject, std::string inReplyTo,
                 CMailboxNode* mailbox, std::int64_t offset);

    CMailboxNode* Mailbox() const { return m_mailbox; }
    // The spool file the body is read from: the mailbox's, not a copy per record.
    const std::string& SpoolPath() const;

    bool IsReply() const { return m_isReply != 0; }
    // Thread walks: the root (this record for a root), the next reply along the root's chain
    // (read order), and, on a root, its last reply (null when it has none).
    CMessageNode* ThreadRoot() const {
        return m_threadRoot ? m_threadRoot : const_cast<CMessageNode*>(this);
    }
    CMessageNode* NextInThread() const { return m_nextInThread; }
    CMessageNode* LastReply() const { return m_lastInThread; }
    // On a root: the next older root of the mailbox (null at the oldest).
    CMessageNode* OlderRoot() const { return m_olderRoot; }

    // Sorted lists, ascending by key; equal keys keep read order.
    CMessageNode* NextByName() const { return m_nextByName; }
    CMessageNode* PrevByName() const { return m_prevByName; }
    CMessageNode* NextBySubject() const { return m_nextBySubject; }
    CMessageNode* PrevBySubject() const { return m_prevBySubject; }
    CMessageNode* NextByDate() const { return m_nextByDate; }
    CMessageNode* PrevByDate() const { return m_prevByDate; }

    // In a `mime` mailbox, "part" leads to the message's parts (<message>/part/<n>); nothing
    // otherwise. A message never has children of its own.
    CNode* FindChild(std::string_view name) const override;

    // --- pages (defined with the message page) ---
    void Reply(CSocketStream& out) override;
    // `raw`: the stored bytes from the separator line to the next (RawMessage.cpp).
    void ReplyRaw(CSocketStream& out);
    void WriteNavigation(CSocketStream& out);
    // The link to `target` (null: this message's own row link) carrying the request's view.
    std::string BuildMessageUrl(CSocketStream& out, const CNode* target);

    // --- values (fixed once the record is published) ---
    std::int64_t m_offset = 0;  // byte offset of the message's first line in the spool
    int m_number = 0;
    int m_isReply = 0;          // 1 once attached to an earlier root
    std::string m_fromName;     // at most 80 bytes
    std::string m_fromAddress;  // at most 80 bytes
    std::string m_date;         // at most 80 bytes
    std::string m_messageId;    // at most 80 bytes
    std::string m_subject;      // at most 100 bytes
    std::string m_inReplyTo;    // at most 240 bytes
    std::string m_dateKey;      // "MM/DD/YY hh:mm" or "(no date)", as shown
    std::string m_dateOrder;    // what the date list is ordered by: "YYYYMMDDhh:mm"

    // --- links (written by the mailbox under its exclusive lock) ---
    CMessageNode* m_threadRoot = nullptr;    // null for a root
    CMessageNode* m_nextInThread = nullptr;  // next reply of the same root
    CMessageNode* m_lastInThread = nullptr;  // on a root: its last reply
    CMessageNode* m_olderRoot = nullptr;     // on a root: the root read before it
    CMessageNode* m_nextByDate = nullptr;
    CMessageNode* m_prevByDate = nullptr;
    CMessageNode* m_nextByName = nullptr;
    CMessageNode* m_prevByName = nullptr;
    CMessageNode* m_nextBySubject = nullptr;
    CMessageNode* m_prevBySubject = nullptr;

  private:
    CMailboxNode* m_mailbox;
};
