// SpoolLock.cpp - the spool's open checks and its three locks.
#include "mail/SpoolLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "mail/MailSpool.h"

namespace {

// Whether the dot-lock at `path` was left by a program that is gone: older than the stale
// age, or naming (as the mail tools write it, a decimal pid) a process that does not exist.
bool IsStaleDotLock(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    if (std::time(nullptr) - info.st_mtime > CMailSpool::kStaleLockSeconds) return true;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    char text[32];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return false;
    std::size_t length = static_cast<std::size_t>(n);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == ' '))
        --length;
    long pid = 0;
    auto [end, error] = std::from_chars(text, text + length, pid);
    if (error != std::errc() || end != text + length || pid <= 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

int OpenMailboxSpool(const std::string& path) {
    // O_NONBLOCK: a FIFO put in the spool's place must not hold the session; it is refused
    // below like anything else that is not a regular file.
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    0644);
    if (fd < 0) {
        if (errno == ELOOP) {
            std::fprintf(stderr, "Error: file name :%s is a symbolic link, not written\n",
                         path.c_str());
        } else {
            std::fprintf(stderr, "Error: file name :%s could not be opened\n", path.c_str());
        }
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        std::fprintf(stderr, "Error: file name :%s is not a plain file of its own, not written\n",
                     path.c_str());
        ::close(fd);
        return -1;
    }
    return fd;
}

CSpoolLock::ETry CSpoolLock::TryDotLock() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::open(m_dotLockPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0644);
        if (fd >= 0) {
            char pid[24];
            int length = std::snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(::getpid()));
            if (::write(fd, pid, static_cast<std::size_t>(length)) != length) {
                // The lock holds by its existence; its text only helps find stale ones.
            }
            ::close(fd);
            return ETry::kTaken;
        }
        if (errno == EACCES || errno == EPERM || errno == EROFS) return ETry::kWithout;
        if (errno != EEXIST) return ETry::kWithout;
        if (!IsStaleDotLock(m_dotLockPath)) return ETry::kBusy;
        ::unlink(m_dotLockPath.c_str());
    }
    return ETry::kBusy;
}

bool CSpoolLock::TryFileLocks() {
    // An open-file-description lock, not a classic POSIX one: closing any other descriptor
    // on the spool in this process (the mailbox reading it) must not drop it. Other
    // processes' classic fcntl locks and it exclude each other.
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    if (::fcntl(m_fd, F_OFD_SETLK, &range) != 0) {
        if (errno == EAGAIN || errno == EACCES) return false;
        // No such locks on this file system: the other two still exclude.
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        range.l_type = F_UNLCK;
        ::fcntl(m_fd, F_OFD_SETLK, &range);
        return false;
    }
    return true;
}

bool CSpoolLock::Acquire(int fd, const std::string& spoolPath, int seconds) {
    Release();
    m_fd = fd;
    m_dotLockPath = spoolPath + ".lock";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto pause = std::chrono::milliseconds(5);
    for (;;) {
        ETry dot = TryDotLock();
        if (dot != ETry::kBusy) {
            m_dotLocked = dot == ETry::kTaken;
            if (TryFileLocks()) {
                m_fileLocked = true;
                return true;
            }
            if (m_dotLocked) ::unlink(m_dotLockPath.c_str());
            m_dotLocked = false;
        }
        if (std::chrono::steady_clock::now() + pause > deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(200));
    }
}

void CSpoolLock::Release() {
    if (m_fileLocked) {
        ::flock(m_fd, LOCK_UN);
        struct flock range {};
        range.l_type = F_UNLCK;
        range.l_whence = SEEK_SET;
        ::fcntl(m_fd, F_OFD_SETLK, &range);
        m_fileLocked = false;
    }
    if (m_dotLocked) {
        ::unlink(m_dotLockPath.c_str());
        m_dotLocked = false;
    }
}
