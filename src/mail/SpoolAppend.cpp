// SpoolAppend.cpp - the append, sync and cut back of one locked spool, the file-system seam
// and the settings every delivery obeys.
#include "mail/SpoolAppend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include "mail/MailboxNode.h"

namespace {

CSpoolAccess g_defaultAccess;
CSpoolAccess* g_access = &g_defaultAccess;
std::atomic<bool> g_sync{true};
std::atomic<int> g_lockSeconds{CMailSpool::kLockSeconds};
std::atomic<std::uint64_t> g_syncCount{0};

bool IsNoSpace(int error) {
    return error == ENOSPC || error == EFBIG || error == EDQUOT;
}

}  // namespace

CSpoolFile::CSpoolFile(const CMailboxNode* mailbox) : m_path(mailbox->m_spoolPath) {}

bool CSpoolFile::Open() {
    m_fd = OpenMailboxSpool(m_path);
    if (m_fd < 0) return false;
    if (!m_lock.Acquire(m_fd, m_path, g_lockSeconds.load())) {
        std::fprintf(stderr, "Error: file name :%s stayed locked by another program\n",
                     m_path.c_str());
        return false;
    }
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) return Report("could not be opened");
    m_size = info.st_size;
    char last = '\n';
    if (m_size > 0 && ::pread(m_fd, &last, 1, m_size - 1) != 1) {
        return Report("could not be read");
    }
    m_needsLineEnd = last != '\n';
    return true;
}

EStoreResult CSpoolFile::Append(CAppend& append) {
    append.m_separator = SpoolSeparatorLine(std::time(nullptr));
    append.m_separator += '\n';
    static const char kLineEnd = '\n';
    iovec parts[3];
    std::size_t count = 0;
    // Start the separator on a fresh line, whatever left the file unfinished.
    if (m_needsLineEnd) parts[count++] = {const_cast<char*>(&kLineEnd), 1};
    parts[count++] = {append.m_separator.data(), append.m_separator.size()};
    parts[count++] = {const_cast<char*>(append.m_stored.data()), append.m_stored.size()};
    const off_t before = m_size;
    if (!g_access->Append(m_fd, std::span<const iovec>(parts, count))) {
        const int error = errno;
        std::fputs("Write failed\n", stderr);
        CutBack(before);
        return IsNoSpace(error) ? EStoreResult::kNoSpace : EStoreResult::kFailed;
    }
    append.m_lineEndAt = m_needsLineEnd ? before : -1;
    append.m_at = before + (m_needsLineEnd ? 1 : 0);
    m_size = append.m_at + static_cast<off_t>(append.m_separator.size() + append.m_stored.size());
    m_needsLineEnd = append.m_stored.empty() || append.m_stored.back() != '\n';
    // With O_APPEND the write went to the end of the file as it was then: the message
    // lies where we think unless a writer that ignores the locks came between.
    const off_t end = ::lseek(m_fd, 0, SEEK_CUR);
    if (end != m_size) {
        append.m_lineEndAt = append.m_at = -1;
        m_size = end;
    }
    return EStoreResult::kStored;
}

bool CSpoolFile::Sync() {
    if (!g_sync.load(std::memory_order_relaxed)) return true;
    g_syncCount.fetch_add(1, std::memory_order_relaxed);
    if (g_access->Sync(m_fd)) return true;
    Report("could not be synced");
    return false;
}

void CSpoolFile::CutBack(off_t size) {
    if (::ftruncate(m_fd, size) != 0) Report("could not be cut back");
    m_size = size;
}

void CSpoolFile::Close() {
    if (m_fd < 0) return;
    m_lock.Release();
    ::close(m_fd);
    m_fd = -1;
}

bool CSpoolFile::Report(const char* what) {
    std::fprintf(stderr, "Error: file name :%s %s\n", m_path.c_str(), what);
    return false;
}

bool CSpoolAccess::Append(int fd, std::span<const iovec> parts) {
    std::vector<iovec> rest(parts.begin(), parts.end());
    std::size_t first = 0;
    while (first < rest.size()) {
        ssize_t n = ::writev(fd, rest.data() + first, static_cast<int>(rest.size() - first));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        for (auto done = static_cast<std::size_t>(n); done > 0;) {
            std::size_t step = std::min(done, rest[first].iov_len);
            rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + step;
            rest[first].iov_len -= step;
            done -= step;
            if (rest[first].iov_len == 0) ++first;
        }
        while (first < rest.size() && rest[first].iov_len == 0)
            ++first;
    }
    return true;
}

bool CSpoolAccess::Sync(int fd) {
    // The size is part of what fdatasync makes durable, so an append needs no full fsync.
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void CMailSpool::SetSync(bool sync) {
    g_sync = sync;
}

void CMailSpool::SetLockSeconds(int seconds) {
    g_lockSeconds = seconds;
}

void CMailSpool::SetAccess(CSpoolAccess* access) {
    g_access = access ? access : &g_defaultAccess;
}

std::uint64_t CMailSpool::SyncCount() {
    return g_syncCount.load();
}
