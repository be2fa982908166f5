// SpoolAppend.h - one open, locked spool during a delivery: the append of a message, the
// sync that makes it durable and the cut back that undoes it, through the CSpoolAccess seam.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "mail/MailSpool.h"
#include "mail/SpoolLock.h"

class CMailboxNode;

// One message waiting to be appended to one spool.
struct CAppend {
    std::string_view m_stored;  // the stored form, without the separator line
    EStoreResult m_result = EStoreResult::kFailed;
    bool m_done = false;
    // Where it went, for the mailbox to read it from memory.
    std::int64_t m_lineEndAt = -1;
    std::int64_t m_at = -1;
    std::string m_separator;
};

// An open, locked spool during one delivery.
class CSpoolFile {
  public:
    explicit CSpoolFile(const CMailboxNode* mailbox);
    ~CSpoolFile() { Close(); }
    CSpoolFile(const CSpoolFile&) = delete;
    CSpoolFile& operator=(const CSpoolFile&) = delete;

    // Opens the folder's own regular file, locks it, and learns its size. Failures are
    // reported on standard error.
    bool Open();
    // Appends one message; on failure the file is cut back to its length before it.
    EStoreResult Append(CAppend& append);
    // Makes the appended bytes durable; false (reported) when the sync failed.
    bool Sync();
    // Leaves the spool as it was at `size`: no half message for the reader to misparse.
    void CutBack(off_t size);
    off_t Size() const { return m_size; }
    void Close();

  private:
    bool Report(const char* what);

    std::string m_path;
    int m_fd = -1;
    CSpoolLock m_lock;
    off_t m_size = 0;
    bool m_needsLineEnd = false;
};
