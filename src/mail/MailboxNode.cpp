// MailboxNode.cpp - the mailbox: finding and reading its spool, publishing records.
#include "mail/MailboxNode.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

#include "server/Node.h"
#include "mail/MimeText.h"
#include "mail/SpoolReader.h"
#include "mail/Threading.h"
#include "platform/DirectoryEnum.h"

namespace {

constexpr char kSpoolName[] = "mailbox";

// Records are handed to the tree in batches, so readers are not shut out for the whole of a
// large first read, nor is the lock taken once per record.
constexpr std::size_t kPublishBatch = 4096;

// The bytes before the read offset compared to tell an append from a rewrite.
constexpr std::int64_t kTailCheckBytes = 64;

}  // namespace

CMailboxNode::CMailboxNode(CFolderNode* parent, const CFindData& entry, CScanContext& context)
    : CFolderNode(parent, entry, context), m_threads(std::make_unique<CThreadIndex>(*this)) {
    // A folder that could not be opened keeps no path of its own; its spool is still looked
    // for (and later created) inside it, never in the process's current directory.
    std::string dirPath = m_dirPath.empty() ? parent->m_dirPath + entry.m_name + "/" : m_dirPath;
    m_spoolPath = FindSpoolFile(dirPath);
    ReadSpool(0);
}

CMailboxNode::CMailboxNode(NoScan, std::string name, std::string spoolPath)
    : CFolderNode(NoScan{}, std::move(name)),
      m_spoolPath(std::move(spoolPath)),
      m_threads(std::make_unique<CThreadIndex>(*this)) {}

CMailboxNode::~CMailboxNode() = default;

std::string CMailboxNode::FindSpoolFile(const std::string& dirPath) {
    std::string exact = dirPath + kSpoolName;
    struct stat info;
    if (::stat(exact.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) return exact;
    // A spool written under another case ("MAILBOX", "Mailbox"): the first such name in
    // byte order, so the choice does not depend on the directory's order.
    std::string best;
    CFd dir = OpenDirectory(AT_FDCWD, dirPath);
    if (dir.IsValid()) {
        EnumerateDirectory(dir.Get(), [&](const CFindData& entry) {
            if (entry.m_isDirectory || !EqualsIgnoringCase(entry.m_name, kSpoolName)) return;
            if (best.empty() || entry.m_name < best) best = entry.m_name;
        });
    }
    return dirPath + (best.empty() ? std::string(kSpoolName) : best);
}

void CMailboxNode::ReadSpool(std::int64_t offset) {
    std::lock_guard<std::mutex> reading(m_readerLock);
    ReadLocked(offset, nullptr);
}

void CMailboxNode::CheckSpool() {
    std::unique_lock<std::mutex> reading(m_readerLock, std::try_to_lock);
    if (reading.owns_lock() && SpoolChanged()) Rebuild();
}

bool CMailboxNode::SpoolChanged() {
    struct stat st;
    if (m_spoolSeen.m_size < 0 || ::stat(m_spoolPath.c_str(), &st) != 0) return false;
    if (st.st_dev != m_spoolSeen.m_device || st.st_ino != m_spoolSeen.m_inode) return true;
    if (st.st_size < m_readOffset) return true;
    if (st.st_size == m_spoolSeen.m_size && st.st_mtim.tv_sec == m_spoolSeen.m_modified.tv_sec &&
        st.st_mtim.tv_nsec == m_spoolSeen.m_modified.tv_nsec) {
        return false;
    }
    // Written since: an append leaves the bytes before the read offset as they were.
    const std::string& tail = m_spoolSeen.m_tail;
    if (!tail.empty()) {
        CFd fd(::open(m_spoolPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        std::string now(tail.size(), '\0');
        auto at = static_cast<off_t>(m_readOffset - static_cast<std::int64_t>(tail.size()));
        if (!fd.IsValid() ||
            ::pread(fd.Get(), now.data(), now.size(), at) != static_cast<ssize_t>(now.size()) ||
            now != tail) {
            return true;
        }
    }
    m_spoolSeen.m_size = st.st_size;
    m_spoolSeen.m_modified = st.st_mtim;
    return false;
}

void CMailboxNode::NoteSpool() {
    CFd fd(::open(m_spoolPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd.IsValid() || ::fstat(fd.Get(), &st) != 0) return;
    m_spoolSeen.m_device = st.st_dev;
    m_spoolSeen.m_inode = st.st_ino;
    m_spoolSeen.m_size = st.st_size;
    m_spoolSeen.m_modified = st.st_mtim;
    std::int64_t length = std::min<std::int64_t>(m_readOffset, kTailCheckBytes);
    m_spoolSeen.m_tail.assign(static_cast<std::size_t>(length), '\0');
    ssize_t got = ::pread(fd.Get(), m_spoolSeen.m_tail.data(), m_spoolSeen.m_tail.size(),
                          static_cast<off_t>(m_readOffset - length));
    if (got != static_cast<ssize_t>(length)) m_spoolSeen.m_tail.clear();
}

void CMailboxNode::Rebuild() {
    std::fprintf(stderr, "Mailbox %s: the spool changed under the server, read again\n",
                 m_spoolPath.c_str());
    std::vector<std::unique_ptr<CMessageNode>> fresh;
    int number = 0;
    auto sink = [&](const CSpoolMessage& message) {
        fresh.push_back(std::make_unique<CMessageNode>(
            number++, message.m_date, message.m_fromName, message.m_fromAddress,
            message.m_messageId, message.m_subject, message.m_inReplyTo, this, message.m_offset));
    };
    std::int64_t nextOffset = 0;
    if (!CSpoolReader::ReadFile(m_spoolPath, 0, sink, nextOffset)) return;
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        // Pages that found an old record before this keep a consistent, frozen view of it:
        // nothing links to or from the old records any more, and they stay allocated.
        for (CNode* node = m_firstChild; node;) {
            CNode* next = node->m_next;
            m_retired.emplace_back(static_cast<CMessageNode*>(node));
            node = next;
        }
        m_firstChild = m_lastChild = nullptr;
        m_newest.store(nullptr, std::memory_order_release);
        m_byNumber.clear();
        m_threads = std::make_unique<CThreadIndex>(*this);
        m_firstByDate = m_firstByName = m_firstBySubject = m_newestRoot = nullptr;
        m_threads->Reserve(fresh.size());
        for (auto& record : fresh) {
            m_threads->Insert(*record);
            m_byNumber.push_back(record.get());
            AddMessage(std::move(record));
        }
        m_readOffset = nextOffset;
        m_messageCount = number;
    }
    NoteSpool();
}

void CMailboxNode::ReadAppended(std::int64_t lineEndAt, std::int64_t at, std::string_view bytes) {
    std::lock_guard<std::mutex> reading(m_readerLock);
    if (SpoolChanged()) {
        Rebuild();  // the appended bytes are in the file, read with the rest
        return;
    }
    // The counters change only under the reader lock, so they can be read here without the
    // shared lock.
    std::int64_t offset = m_readOffset;
    // The lone line end the store wrote to finish an unfinished spool is not a message.
    if (lineEndAt >= 0 && offset == lineEndAt) offset = lineEndAt + 1;
    ReadLocked(offset, at >= 0 && offset == at ? &bytes : nullptr);
}

void CMailboxNode::ReadLocked(std::int64_t offset, const std::string_view* appended) {
    // Only this function changes the counters, and it runs one at a time, so they can be
    // read here without the shared lock.
    int number = m_messageCount;
    std::vector<std::unique_ptr<CMessageNode>> pending;
    std::int64_t pendingEnd = offset;
    const bool mime = Options().m_mime != 0;
    auto sink = [&](const CSpoolMessage& message) {
        if (mime) {
            // Decoded once here, so the pages, the sorted lists and threading all see the
            // text a reader sees.
            CMimeHeaders decoded = DecodeMimeHeaders(message);
            pending.push_back(std::make_unique<CMessageNode>(
                number++, std::move(decoded.m_date), std::move(decoded.m_fromName),
                std::move(decoded.m_fromAddress), message.m_messageId, std::move(decoded.m_subject),
                message.m_inReplyTo, this, message.m_offset));
        } else {
            pending.push_back(std::make_unique<CMessageNode>(
                number++, message.m_date, message.m_fromName, message.m_fromAddress,
                message.m_messageId, message.m_subject, message.m_inReplyTo, this,
                message.m_offset));
        }
        pendingEnd = message.m_endOffset;
        if (pending.size() >= kPublishBatch) Publish(pending, pendingEnd, number);
    };
    // Mail averages a few kilobytes a message; a guess on the high side costs a few bytes of
    // hash buckets per message, one on the low side a rehash.
    auto reserve = [&](std::uint64_t bytesAhead) {
        m_threads->Reserve(static_cast<std::size_t>(bytesAhead / 1536));
    };
    std::int64_t nextOffset = offset;
    if (appended) {
        nextOffset = CSpoolReader::ReadText(*appended, offset, sink, mime);
    } else if (!CSpoolReader::ReadFile(m_spoolPath, offset, sink, nextOffset, reserve, mime)) {
        return;
    }
    Publish(pending, nextOffset, number);
    NoteSpool();
}

void CMailboxNode::ReadNewMail() {
    std::lock_guard<std::mutex> reading(m_readerLock);
    if (SpoolChanged()) {
        Rebuild();
    } else {
        ReadLocked(m_readOffset, nullptr);  // the counters change only under the reader lock
    }
}

void CMailboxNode::Publish(std::vector<std::unique_ptr<CMessageNode>>& records,
                           std::int64_t readOffset, int messageCount) {
    std::unique_lock<std::shared_mutex> lock(m_lock);
    for (auto& record : records) {
        m_threads->Insert(*record);
        m_byNumber.push_back(record.get());
        AddMessage(std::move(record));
    }
    records.clear();
    m_readOffset = readOffset;
    m_messageCount = messageCount;
}

void CMailboxNode::AddMessage(std::unique_ptr<CMessageNode> owned) {
    CMessageNode* message = owned.release();
    message->m_parent = this;
    message->m_prev = nullptr;
    message->m_next = m_firstChild;  // set before the record becomes reachable
    if (m_firstChild) m_firstChild->m_prev = message;
    m_firstChild = message;
    if (!m_lastChild) m_lastChild = message;
    m_newest.store(message, std::memory_order_release);
}

CNode* CMailboxNode::FirstChild() const {
    return m_newest.load(std::memory_order_acquire);
}

bool CMailboxNode::HasChildren() const {
    return m_newest.load(std::memory_order_acquire) != nullptr;
}

CMessageNode* CMailboxNode::MessageByNumber(int number) const {
    if (number < 0 || static_cast<std::size_t>(number) >= m_byNumber.size()) return nullptr;
    return m_byNumber[static_cast<std::size_t>(number)];
}

std::int64_t CMailboxNode::MessageEnd(const CMessageNode& message) const {
    const CMessageNode* next = MessageByNumber(message.m_number + 1);
    return next ? next->m_offset : m_readOffset;
}

CNode* CMailboxNode::FindChild(std::string_view name) const {
    // Only the canonical decimal form names a message: "07", "+7" or " 7" name nothing.
    if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == '0')) return nullptr;
    int number = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size() || name[0] == '-') {
        return nullptr;
    }
    std::shared_lock<std::shared_mutex> lock(m_lock);
    return MessageByNumber(number);
}
