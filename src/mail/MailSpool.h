// MailSpool.h - the mbox spool as the store writes it: the stored form of a message
// (separator line, quoting, line cutting) whose rules the reader (SpoolReader.h) shares, and
// the delivery of one message to one or more mailboxes: open, lock, append, cut back, sync.
//
// A delivery is all or none: the message is appended to every spool, then each is synced;
// any failure cuts every spool written so far back to its length before the message. The
// spool is only ever the mailbox folder's own regular file (never a symbolic link, never a
// file with other names), locked the way the mail tools of the system lock an mbox (a
// "<spool>.lock" dot-lock, an fcntl write lock and flock); a lock not had within
// kLockSeconds fails that mailbox only. Appends to one spool from several sessions are
// serialised in the process, and one sync covers every message appended meanwhile.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

class CMailboxNode;

// --- the stored form (shared with the reader) ---

// How every separator the store writes begins.
inline constexpr std::string_view kStoreSeparator = "From ???@??? ";
// The reader takes a line in pieces of this many bytes (the line end not counted).
inline constexpr std::size_t kSpoolPieceLength = 999;

// In a body, a line beginning with "From " or "From:" starts the next message.
bool StartsSpoolMessage(std::string_view line);
// kStoreSeparator and `when` as local time in "%a %b %d %H:%M:%S %Y", without a line end.
std::string SpoolSeparatorLine(std::time_t when);
// Appends `lines` (each ended by "\n", none holding another) to `out` in stored form: no line
// reaches kSpoolPieceLength (longer ones become consecutive lines); a line that the reader
// would take for a separator, in the header block ("From ") or the body ("From ", "From:",
// behind any ">"s), gets one more ">"; an empty line closes a message that would otherwise
// swallow the next one. Without the separator line, which each spool gets its own.
void AppendStoredForm(std::string& out, std::string_view lines);

// --- delivery ---

enum class EStoreResult { kStored, kNoSpace, kFailed };

// What a delivery needs from the file system, so tests can make a write or a sync fail.
class CSpoolAccess {
  public:
    virtual ~CSpoolAccess() = default;
    // Appends the buffers to `fd` (opened with O_APPEND); false with errno set on failure.
    virtual bool Append(int fd, std::span<const iovec> parts);
    virtual bool Sync(int fd);
};

class CMailSpool {
  public:
    static constexpr int kLockSeconds = 10;
    static constexpr int kStaleLockSeconds = 5 * 60;

    // Stores the message (`lines` as for AppendStoredForm) in every mailbox, in order, all or
    // none, then lets each mailbox read it. kNoSpace: the file system is full (or a size
    // limit was reached); kFailed: anything else (reported on standard error).
    static EStoreResult Deliver(std::span<CMailboxNode* const> mailboxes, std::string_view lines);

    // Off: appends are not synced (root keyword `nosync`).
    static void SetSync(bool sync);
    // How long a lock is waited for; tests shorten it.
    static void SetLockSeconds(int seconds);
    // The seam used by every delivery; null restores the real file system.
    static void SetAccess(CSpoolAccess* access);
    // Syncs done so far (for benchmarks: syncs per message).
    static std::uint64_t SyncCount();
};
