// MailSpool.cpp - the stored form of a message and its delivery to the mailboxes' spools.
#include "mail/MailSpool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "mail/MailboxNode.h"
#include "mail/SpoolLock.h"

namespace {

// --- stored form ---

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// A line the reader would take for the start of a message (in the body) or for an envelope
// line (in the header block), behind any earlier quoting ">"s. One more ">" disarms it.
bool NeedsFromQuote(std::string_view line, bool inBody) {
    std::string_view rest = line.substr(std::min(line.find_first_not_of('>'), line.size()));
    return inBody ? StartsSpoolMessage(rest) : StartsWith(rest, "From ");
}

// What the reader takes for an empty line, the end of the header block: it drops one CR at
// a line's end.
bool ReadAsEmpty(std::string_view line) {
    return line.empty() || line == "\r";
}

// A piece of a longer line may begin with "From " (a new message) or be empty (the end of
// the header block): a sender could split his message in two that way. So a stored line
// never reaches the piece length, its quote included; a longer one is stored as consecutive
// lines, each checked like any other, and none of them is a lone CR.
constexpr std::size_t kStoredLineMax = kSpoolPieceLength - 1;

void AppendStoredLine(std::string& out, std::string_view line, bool inBody) {
    do {
        std::size_t take = std::min(line.size(), kStoredLineMax);
        const bool quote = NeedsFromQuote(line, inBody);
        if (quote && take == kStoredLineMax) --take;
        if (line.size() == take + 1 && line.back() == '\r') --take;
        if (quote) out += '>';
        out.append(line.substr(0, take)).push_back('\n');
        line.remove_prefix(take);
    } while (!line.empty());
}

// --- delivery state shared by the sessions ---

CSpoolAccess g_defaultAccess;
CSpoolAccess* g_access = &g_defaultAccess;
std::atomic<bool> g_sync{true};
std::atomic<int> g_lockSeconds{CMailSpool::kLockSeconds};
std::atomic<std::uint64_t> g_syncCount{0};

bool IsNoSpace(int error) {
    return error == ENOSPC || error == EFBIG || error == EDQUOT;
}

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

// The sessions of this process that deliver to one spool. One of them at a time owns it
// (m_busy); a delivery that finds it owned queues its message, and the owner appends every
// queued message under one lock and covers them with one sync (group commit).
struct CSpoolChannel {
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_busy = false;
    std::vector<CAppend*> m_queue;
};

std::mutex g_channelsMutex;
std::map<std::string, std::unique_ptr<CSpoolChannel>> g_channels;  // by spool path; one per mailbox

CSpoolChannel& ChannelOf(const CMailboxNode* mailbox) {
    std::lock_guard<std::mutex> lock(g_channelsMutex);
    auto& channel = g_channels[mailbox->m_spoolPath];
    if (!channel) channel = std::make_unique<CSpoolChannel>();
    return *channel;
}

// An open, locked spool during one delivery.
class CSpoolFile {
  public:
    explicit CSpoolFile(const CMailboxNode* mailbox) : m_path(mailbox->m_spoolPath) {}
    ~CSpoolFile() { Close(); }
    CSpoolFile(const CSpoolFile&) = delete;
    CSpoolFile& operator=(const CSpoolFile&) = delete;

    // Opens the folder's own regular file, locks it, and learns its size. Failures are
    // reported on standard error.
    bool Open() {
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

    // Appends one message; on failure the file is cut back to its length before it.
    EStoreResult Append(CAppend& append) {
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
        m_size =
            append.m_at + static_cast<off_t>(append.m_separator.size() + append.m_stored.size());
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

    // Makes the appended bytes durable; false (reported) when the sync failed.
    bool Sync() {
        if (!g_sync.load(std::memory_order_relaxed)) return true;
        g_syncCount.fetch_add(1, std::memory_order_relaxed);
        if (g_access->Sync(m_fd)) return true;
        Report("could not be synced");
        return false;
    }

    // Leaves the spool as it was at `size`: no half message for the reader to misparse.
    void CutBack(off_t size) {
        if (::ftruncate(m_fd, size) != 0) Report("could not be cut back");
        m_size = size;
    }

    off_t Size() const { return m_size; }

    void Close() {
        if (m_fd < 0) return;
        m_lock.Release();
        ::close(m_fd);
        m_fd = -1;
    }

  private:
    bool Report(const char* what) {
        std::fprintf(stderr, "Error: file name :%s %s\n", m_path.c_str(), what);
        return false;
    }

    std::string m_path;
    int m_fd = -1;
    CSpoolLock m_lock;
    off_t m_size = 0;
    bool m_needsLineEnd = false;
};

void LetMailboxRead(CMailboxNode* mailbox, const CAppend& append) {
    std::string_view bytes;
    std::string joined;
    if (append.m_at >= 0) {
        joined.reserve(append.m_separator.size() + append.m_stored.size());
        joined.append(append.m_separator).append(append.m_stored);
        bytes = joined;
    }
    mailbox->ReadAppended(append.m_lineEndAt, append.m_at, bytes);
}

// The owner's work on one spool: every queued message under one lock, one sync for all.
void AppendBatch(CMailboxNode* mailbox, std::vector<CAppend*>& batch) {
    CSpoolFile spool(mailbox);
    if (!spool.Open()) {
        for (CAppend* append : batch)
            append->m_result = EStoreResult::kFailed;
        return;
    }
    const off_t start = spool.Size();
    bool anyStored = false;
    for (CAppend* append : batch) {
        append->m_result = spool.Append(*append);
        anyStored = anyStored || append->m_result == EStoreResult::kStored;
    }
    if (anyStored && !spool.Sync()) {
        spool.CutBack(start);
        for (CAppend* append : batch)
            append->m_result = EStoreResult::kFailed;
    }
    spool.Close();
    for (CAppend* append : batch) {
        if (append->m_result == EStoreResult::kStored) LetMailboxRead(mailbox, *append);
    }
}

// One mailbox: queue the message; whoever finds the spool free appends the whole queue.
EStoreResult DeliverOne(CMailboxNode* mailbox, std::string_view stored) {
    CSpoolChannel& channel = ChannelOf(mailbox);
    CAppend mine;
    mine.m_stored = stored;
    std::unique_lock<std::mutex> lock(channel.m_mutex);
    channel.m_queue.push_back(&mine);
    channel.m_changed.wait(lock, [&] { return mine.m_done || !channel.m_busy; });
    if (mine.m_done) return mine.m_result;
    channel.m_busy = true;
    std::vector<CAppend*> batch;
    batch.swap(channel.m_queue);
    lock.unlock();
    AppendBatch(mailbox, batch);
    lock.lock();
    for (CAppend* append : batch)
        append->m_done = true;
    channel.m_busy = false;
    channel.m_changed.notify_all();
    return mine.m_result;
}

// Owns the channels of several mailboxes at once, taken in path order so that two
// deliveries to the same mailboxes cannot wait for each other.
class COwnedChannels {
  public:
    explicit COwnedChannels(std::span<CMailboxNode* const> mailboxes) {
        for (CMailboxNode* mailbox : mailboxes)
            m_channels.push_back(&ChannelOf(mailbox));
        std::vector<CSpoolChannel*> ordered = m_channels;
        std::sort(ordered.begin(), ordered.end());
        ordered.erase(std::unique(ordered.begin(), ordered.end()), ordered.end());
        for (CSpoolChannel* channel : ordered) {
            std::unique_lock<std::mutex> lock(channel->m_mutex);
            channel->m_changed.wait(lock, [&] { return !channel->m_busy; });
            channel->m_busy = true;
            m_owned.push_back(channel);
        }
    }
    ~COwnedChannels() {
        for (CSpoolChannel* channel : m_owned) {
            std::lock_guard<std::mutex> lock(channel->m_mutex);
            channel->m_busy = false;
            channel->m_changed.notify_all();
        }
    }
    COwnedChannels(const COwnedChannels&) = delete;
    COwnedChannels& operator=(const COwnedChannels&) = delete;

  private:
    std::vector<CSpoolChannel*> m_channels;
    std::vector<CSpoolChannel*> m_owned;
};

// Several mailboxes: every spool open and locked at once, so that a failure anywhere can
// still cut back the ones already written (no other writer can have come after them).
EStoreResult DeliverAll(std::span<CMailboxNode* const> mailboxes, std::string_view stored) {
    COwnedChannels owned(mailboxes);
    std::vector<std::unique_ptr<CSpoolFile>> spools;
    std::vector<CAppend> appends(mailboxes.size());
    std::vector<off_t> starts;
    EStoreResult result = EStoreResult::kStored;
    for (CMailboxNode* mailbox : mailboxes) {
        spools.push_back(std::make_unique<CSpoolFile>(mailbox));
        if (!spools.back()->Open()) return EStoreResult::kFailed;
        starts.push_back(spools.back()->Size());
    }
    for (std::size_t i = 0; i < mailboxes.size() && result == EStoreResult::kStored; ++i) {
        appends[i].m_stored = stored;
        result = spools[i]->Append(appends[i]);
    }
    for (std::size_t i = 0; i < mailboxes.size() && result == EStoreResult::kStored; ++i) {
        if (!spools[i]->Sync()) result = EStoreResult::kFailed;
    }
    if (result != EStoreResult::kStored) {
        for (std::size_t i = 0; i < spools.size(); ++i)
            spools[i]->CutBack(starts[i]);
        return result;
    }
    for (auto& spool : spools)
        spool->Close();
    for (std::size_t i = 0; i < mailboxes.size(); ++i)
        LetMailboxRead(mailboxes[i], appends[i]);
    return result;
}

}  // namespace

bool StartsSpoolMessage(std::string_view line) {
    return line.size() >= 5 && line.substr(0, 4) == "From" && (line[4] == ' ' || line[4] == ':');
}

std::string SpoolSeparatorLine(std::time_t when) {
    std::tm local{};
    ::localtime_r(&when, &local);
    char date[64];
    std::size_t length = std::strftime(date, sizeof date, "%a %b %d %H:%M:%S %Y", &local);
    return std::string(kStoreSeparator) + std::string(date, length);
}

void AppendStoredForm(std::string& out, std::string_view lines) {
    bool inBody = false;
    std::string_view lastLine;
    for (std::string_view rest = lines; !rest.empty();) {
        std::size_t end = rest.find('\n');
        lastLine = rest.substr(0, end);
        AppendStoredLine(out, lastLine, inBody);
        if (ReadAsEmpty(lastLine)) inBody = true;
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    // A separator ends a message only in its body, and not right after a line holding
    // "Forwarded message:": without an empty line here, the next delivery would become part
    // of this message once the spool is read again from its start.
    if (!inBody || lastLine.find("Forwarded message:") != std::string_view::npos) out += '\n';
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

EStoreResult CMailSpool::Deliver(std::span<CMailboxNode* const> mailboxes, std::string_view lines) {
    if (mailboxes.empty()) return EStoreResult::kStored;
    std::string stored;
    stored.reserve(lines.size() + lines.size() / 32 + 64);
    AppendStoredForm(stored, lines);
    return mailboxes.size() == 1 ? DeliverOne(mailboxes[0], stored) : DeliverAll(mailboxes, stored);
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
