// MailboxNode.h - CMailboxNode, a subfolder of the topics folder published as a mail archive:
// it reads the spool file in its folder into CMessageNode records, its children.
//
// Children are the message records only, newest first (each new record goes in front); the
// folder's own files and subfolders are not published. Records are never removed.
//
// Locking: one reader-writer lock per mailbox (m_lock).
//  - exclusive: taken by ReadSpool (and so ReadNewMail, ReadAppended) only while it publishes
//    records:
//    threading, the sorted lists, the children list, m_byNumber, m_readOffset, m_messageCount.
//    The file is read and parsed outside it; a second mutex keeps reads one at a time.
//  - shared: FindChild takes it. Page renderers take ReadLock() and hold it while they walk
//    children (Next/Prev), the sorted lists, the thread chains, or read the counters.
//    std::shared_mutex is not recursive: under ReadLock() use MessageByNumber, not FindChild.
//  - none: FirstChild and HasChildren read an atomic copy of the newest record, published
//    after its links are set; a FirstChild()/Next() walk is safe without the lock because a
//    published record's m_next never changes (m_prev does: walking back needs ReadLock()).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/FolderNode.h"
#include "mail/MessageNode.h"

class CThreadIndex;

class CMailboxNode : public CFolderNode {
  public:
    // Built by the folder scan for a subfolder of the topics folder: the folder part first
    // (its vantrel.cfg still sets title and tail), then the spool is found and read whole.
    CMailboxNode(CFolderNode* parent, const CFindData& entry, CScanContext& context);
    // A mailbox over a given spool file, nothing read yet (tests and benchmarks).
    CMailboxNode(NoScan, std::string name, std::string spoolPath);
    ~CMailboxNode() override;

    // Reads from byte `offset` to the end of the spool and publishes every complete message.
    // A spool that cannot be opened changes nothing.
    void ReadSpool(std::int64_t offset);
    // Reads on from m_readOffset: called by the mail store after it appended to the spool.
    // A spool that is no longer the file the records came from is read again whole instead.
    void ReadNewMail();
    // Each page request: when the spool was replaced, truncated or rewritten under the server
    // (another file, shorter than what was read, or other bytes before the read offset),
    // reads it again from its start and rebuilds records, threads and lists. A stat when
    // nothing changed; skipped while another read is under way.
    void CheckSpool();
    // The store appended `bytes` at file offset `at` (-1: where is not known), after a line
    // end of its own at `lineEndAt` (-1: none). When the mailbox had read up to exactly there,
    // the records are made from `bytes`, sparing a read of the file; otherwise it reads on
    // from the file like ReadNewMail. Either way it ends where a read of the file would.
    void ReadAppended(std::int64_t lineEndAt, std::int64_t at, std::string_view bytes);
    // Puts the record in front of the children (newest first). Caller holds the exclusive lock.
    void AddMessage(std::unique_ptr<CMessageNode> message);

    // --- child access (virtual in CNode) ---
    // Finds a message by its canonical decimal number ("7", not "07" or "+7"); shared lock.
    CNode* FindChild(std::string_view name) const override;
    CNode* FirstChild() const override;  // the newest message; no lock (see above)
    bool HasChildren() const override;   // no lock

    // The mailbox index page (defined with the pages), or with one of the query words id,
    // mbox, atom or json the archive as data (below).
    void Reply(CSocketStream& out) override;
    // `id`: a redirect to the page of the message with that Message-ID, or 404.
    void ReplyPermalink(CSocketStream& out);  // Permalink.cpp
    // `mbox`: the spool file itself, as far as it reached when the request came.
    void ReplyMbox(CSocketStream& out);  // MboxReply.cpp
    // `atom`: a feed of the newest messages.
    void ReplyAtom(CSocketStream& out);  // AtomFeed.cpp
    // `json`: the messages as a JSON array, newest first.
    void ReplyJson(CSocketStream& out) override;  // MailboxJson.cpp
    const char* KindName() const override { return "mailbox"; }
    // Where the stored bytes of `message` end: at the next message's first line, or where
    // the mailbox has read to. Caller holds ReadLock().
    std::int64_t MessageEnd(const CMessageNode& message) const;

    // Hold while walking the records; the walks below assume it is held.
    std::shared_lock<std::shared_mutex> ReadLock() const {
        return std::shared_lock<std::shared_mutex>(m_lock);
    }
    CMessageNode* Newest() const { return static_cast<CMessageNode*>(m_firstChild); }
    CMessageNode* NewestRoot() const { return m_newestRoot; }  // then ->OlderRoot()
    CMessageNode* FirstByName() const { return m_firstByName; }
    CMessageNode* FirstBySubject() const { return m_firstBySubject; }
    CMessageNode* FirstByDate() const { return m_firstByDate; }
    CMessageNode* MessageByNumber(int number) const;  // null when out of range
    int MessageCount() const { return m_messageCount; }
    std::int64_t ReadOffset() const { return m_readOffset; }

    // Spool file: "mailbox" in the folder if present, else the first directory entry equal to
    // it ignoring case (in byte order), else dirPath + "mailbox" (which the store creates).
    static std::string FindSpoolFile(const std::string& dirPath);

    std::string m_spoolPath;
    std::int64_t m_readOffset = 0;  // first byte not yet turned into a record
    int m_messageCount = 0;         // records made; the number of the next one
    CMessageNode* m_firstByDate = nullptr;
    CMessageNode* m_firstByName = nullptr;
    CMessageNode* m_firstBySubject = nullptr;
    CMessageNode* m_newestRoot = nullptr;

  private:
    friend class CThreadIndex;
    // ReadSpool's work, the reader lock held; `appended`, when given, holds the bytes from
    // `offset` to the end of the file.
    void ReadLocked(std::int64_t offset, const std::string_view* appended);
    // Publishes parsed records in read order under the exclusive lock, then moves the
    // counters to `readOffset` and `messageCount`.
    void Publish(std::vector<std::unique_ptr<CMessageNode>>& records, std::int64_t readOffset,
                 int messageCount);

    // What the records were read from, so a spool changed under the server is noticed.
    // Under m_readerLock.
    struct CSpoolSeen {
        dev_t m_device = 0;
        ino_t m_inode = 0;
        std::int64_t m_size = -1;  // -1: nothing read yet
        timespec m_modified{};
        std::string m_tail;  // the bytes just before m_readOffset (a few dozen)
    };
    // True when the spool is not the file the records came from (reader lock held).
    bool SpoolChanged();
    // Notes what the spool is now, after a read (reader lock held).
    void NoteSpool();
    // Reads the whole spool into fresh records and swaps them in at once (reader lock held).
    // The records of the earlier reading are kept (m_retired) for pages still walking them.
    void Rebuild();

    mutable std::shared_mutex m_lock;
    std::mutex m_readerLock;  // one ReadSpool at a time
    CSpoolSeen m_spoolSeen;
    std::vector<std::unique_ptr<CMessageNode>> m_retired;
    std::unique_ptr<CThreadIndex> m_threads;       // hash maps and ordered indexes
    std::vector<CMessageNode*> m_byNumber;         // record n at index n
    std::atomic<CMessageNode*> m_newest{nullptr};  // mirror of m_firstChild for lock-free reads
};
