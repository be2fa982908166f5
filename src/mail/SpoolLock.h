// SpoolLock.h - opening a mailbox's spool for appending, and the locks the mail tools of the
// system take on an mbox, so that they and the store exclude each other.
#pragma once

#include <string>

// Opens `path` for reading and appending (created 0644 when missing) only when it is a
// regular file of its own folder with no other name: a symbolic link, a device, a folder or a
// hard link to a file elsewhere is refused. -1, reported on standard error, otherwise.
int OpenMailboxSpool(const std::string& path);

// The dot-lock "<spool>.lock" (created with O_EXCL; one older than kStaleLockSeconds, or
// naming a process that is gone, is taken over), an fcntl write lock over the whole file and
// flock. Each is tried without waiting; when one is held elsewhere, all are let go and tried
// again a little later, so two programs taking them in other orders never wait for each
// other. A dot-lock that cannot be created for want of permission is done without, as the
// other mail tools do.
class CSpoolLock {
  public:
    ~CSpoolLock() { Release(); }
    // False when the locks were not all had within `seconds`.
    bool Acquire(int fd, const std::string& spoolPath, int seconds);
    void Release();

  private:
    enum class ETry { kTaken, kBusy, kWithout };
    ETry TryDotLock();
    bool TryFileLocks();

    int m_fd = -1;
    std::string m_dotLockPath;
    bool m_dotLocked = false;
    bool m_fileLocked = false;
};
