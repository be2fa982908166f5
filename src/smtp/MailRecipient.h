// MailRecipient.h - CMailRecipient, one mailbox named by RCPT: its pending message lines and
// the append of those lines, as one message, to the end of the mailbox's spool file.
//
// A delivery writes the whole message with one append under an exclusive flock on the spool,
// so another local program appending to the same file cannot interleave with it, and a kill
// in the middle leaves at most this one incomplete message at the end. A failed write cuts the
// spool back to its length before the delivery; Deliver then returns false and the session
// answers 451, never 250.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

class CMailboxNode;

// What one delivery left in the spool, for the mailbox to pick up.
struct CAppendedMail {
    // Offset of a line end the store wrote before the separator (the spool did not end with
    // one), or -1: when the mailbox had read up to exactly there, it reads on after it, so
    // the line end does not become an empty message of its own.
    std::int64_t m_lineEndAt = -1;
    // Offset of the separator and the bytes from there to the end of the append; -1 when the
    // message is not known to lie there (nothing stored, or another writer came between).
    std::int64_t m_at = -1;
    std::string_view m_message;
};

// What a delivery needs from the outside world, so tests can make a write fail.
class CSpoolAccess {
  public:
    virtual ~CSpoolAccess() = default;
    // Appends `bytes` to the open spool `fd` (opened with O_APPEND); false on a failed write.
    virtual bool Append(int fd, std::string_view bytes);
    // Lets the mailbox pick up what was appended (CMailboxNode::ReadAppended).
    virtual void ReadNewMail(CMailboxNode* mailbox, const CAppendedMail& appended);
};

class CMailRecipient {
  public:
    enum EState { kActive = 0, kIdle = 2, kUnknown = 3 };
    // A pending message (all its DATA blocks together) holds at most this many bytes.
    static constexpr std::size_t kMaxPendingBytes = 32u * 1024 * 1024;
    // Past a delivery, a pending buffer up to this size is kept for the next message.
    static constexpr std::size_t kKeptCapacity = 256u * 1024;

    // Becomes unknown at once when the topics folder has no child named `name`.
    CMailRecipient(std::string name, int state);
    ~CMailRecipient();
    CMailRecipient(const CMailRecipient&) = delete;
    CMailRecipient& operator=(const CMailRecipient&) = delete;

    // Appends one line (without its line end). Past kMaxPendingBytes the line is not kept and
    // the message is marked as overflowed; the caller drops it with Discard.
    void AddLine(std::string_view text);
    // Drops the pending lines (and the overflow mark); state idle.
    void Discard();
    // Opens the spool for appending: 0 when open, -1 otherwise (reported on standard error).
    int OpenSpool();
    // Appends the pending lines as one message and lets the mailbox read it. True when there
    // was nothing to deliver or the message is stored; false when it could not be stored.
    bool Deliver();

    int GetState() const { return m_state; }
    void SetState(int state) { m_state = state; }
    bool Overflowed() const { return m_overflowed; }
    std::size_t PendingBytes() const { return m_pending.size(); }

    // The seam used by every recipient; null restores the real file system.
    static void SetSpoolAccess(CSpoolAccess* access);

    std::string m_name;
    int m_state = kActive;
    std::string m_pending;    // the pending lines, each followed by "\n" (no line holds one)
    std::string m_spoolPath;  // set by OpenSpool
    int m_spool = -1;         // open only inside Deliver

  private:
    void CloseSpool();
    // Whether the open spool still ends where this recipient's last append ended, which
    // was a line end: then its last byte need not be read.
    bool EndsWithOurAppend(const struct stat& info) const;

    // The spool (device, inode) and its size right after this recipient's last append.
    dev_t m_appendDevice = 0;
    ino_t m_appendInode = 0;
    off_t m_appendEnd = -1;

    bool m_overflowed = false;
};

// The mailbox named `name` ignoring case among the topics folder's children, or null.
CMailboxNode* FindMailboxFolder(std::string_view name);
// "From ???@??? " and `when` as local time in "%a %b %d %H:%M:%S %Y", without a line end.
std::string SeparatorLine(std::time_t when);
