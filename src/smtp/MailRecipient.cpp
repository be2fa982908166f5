// MailRecipient.cpp - the mailbox store: pending lines of one recipient and their delivery.
#include "smtp/MailRecipient.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "Server/LogText.h"
#include "Server/ServerState.h"
#include "mail/MailboxNode.h"

namespace {

CSpoolAccess g_defaultAccess;
CSpoolAccess* g_access = &g_defaultAccess;

// A body line the spool reader would take for the start of a new message: "From " or
// "From:", possibly behind earlier quoting ">"s. One more ">" keeps it in the body.
bool NeedsFromQuote(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && line[i] == '>')
        ++i;
    std::string_view rest = line.substr(i);
    return rest.size() >= 5 && rest.substr(0, 4) == "From" && (rest[4] == ' ' || rest[4] == ':');
}

// What the reader takes for an empty line, the end of the header block: it drops one CR at
// a line's end.
bool ReadAsEmpty(std::string_view line) {
    return line.empty() || line == "\r";
}

// The reader takes a longer line in pieces of 999 bytes, and a piece may begin with "From "
// (a new message) or be empty (the end of the header block): a sender could split his
// message in two that way. So a stored line never reaches 999 bytes, its quote included;
// a longer one is stored as consecutive lines, each checked like any other, and none of
// them is a lone CR.
constexpr std::size_t kStoredLineMax = 998;

void AppendStoredLine(std::string& message, std::string_view line, bool inBody) {
    do {
        std::size_t take = std::min(line.size(), kStoredLineMax);
        const bool quote = inBody && NeedsFromQuote(line);
        if (quote && take == kStoredLineMax) --take;
        if (line.size() == take + 1 && line.back() == '\r') --take;
        if (quote) message += '>';
        message.append(line.substr(0, take)).push_back('\n');
        line.remove_prefix(take);
    } while (!line.empty());
}

}  // namespace

bool CSpoolAccess::Append(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void CSpoolAccess::ReadNewMail(CMailboxNode* mailbox, const CAppendedMail& appended) {
    mailbox->ReadAppended(appended.m_lineEndAt, appended.m_at, appended.m_message);
}

void CMailRecipient::SetSpoolAccess(CSpoolAccess* access) {
    g_access = access ? access : &g_defaultAccess;
}

CMailboxNode* FindMailboxFolder(std::string_view name) {
    if (!g_state.m_topicsFolder) return nullptr;
    return dynamic_cast<CMailboxNode*>(g_state.m_topicsFolder->FindChild(name));
}

std::string SeparatorLine(std::time_t when) {
    std::tm local{};
    ::localtime_r(&when, &local);
    char date[64];
    std::size_t length = std::strftime(date, sizeof date, "%a %b %d %H:%M:%S %Y", &local);
    return "From ???@??? " + std::string(date, length);
}

CMailRecipient::CMailRecipient(std::string name, int state)
    : m_name(std::move(name)), m_state(state) {
    if (!FindMailboxFolder(m_name)) m_state = kUnknown;
}

CMailRecipient::~CMailRecipient() {
    CloseSpool();
}

void CMailRecipient::AddLine(std::string_view text) {
    if (m_overflowed) return;
    const std::size_t needed = m_pending.size() + text.size() + 1;
    if (needed > kMaxPendingBytes) {
        // Keep nothing of a message that cannot be stored whole.
        m_overflowed = true;
        std::string().swap(m_pending);
        return;
    }
    // Grow straight to the bound rather than double past it: doubling from just under the
    // bound would hold nearly twice of it.
    if (needed > m_pending.capacity() && m_pending.capacity() > kMaxPendingBytes / 4) {
        m_pending.reserve(kMaxPendingBytes);
    }
    m_pending.append(text).push_back('\n');
}

void CMailRecipient::Discard() {
    // A buffer of ordinary size is kept for the next message; a large one is given back.
    if (m_pending.capacity() > kKeptCapacity) {
        std::string().swap(m_pending);
    } else {
        m_pending.clear();
    }
    m_overflowed = false;
    m_state = kIdle;
}

int CMailRecipient::OpenSpool() {
    CMailboxNode* mailbox = FindMailboxFolder(m_name);
    if (!mailbox) {
        m_state = kUnknown;
        std::fprintf(stderr, "Could not locate node for %s\n", m_name.c_str());
        return -1;
    }
    // The mailbox chose its spool name when it was built; reader and store must agree on it.
    m_spoolPath = mailbox->m_spoolPath;
    // Read-write so the last byte can be checked; every write still goes to the end.
    m_spool = ::open(m_spoolPath.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_spool < 0) {
        std::fprintf(stderr, "Error: file name :%s could not be opened\n", m_spoolPath.c_str());
        return -1;
    }
    return 0;
}

void CMailRecipient::CloseSpool() {
    if (m_spool >= 0) ::close(m_spool);  // also releases the flock
    m_spool = -1;
}

bool CMailRecipient::EndsWithOurAppend(const struct stat& info) const {
    // Any other append changes the size; a spool put in its place is another inode.
    return m_appendEnd >= 0 && info.st_size == m_appendEnd && info.st_ino == m_appendInode &&
           info.st_dev == m_appendDevice;
}

bool CMailRecipient::Deliver() {
    if (m_pending.empty()) return true;
    bool stored = false;
    CAppendedMail appended;
    std::string message;
    if (OpenSpool() == 0) {
        while (::flock(m_spool, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat info {};
        off_t oldSize = ::fstat(m_spool, &info) == 0 ? info.st_size : -1;

        message.reserve(m_pending.size() + m_pending.size() / 32 + 64);
        char last = '\n';
        if (oldSize > 0 && !EndsWithOurAppend(info) &&
            ::pread(m_spool, &last, 1, oldSize - 1) == 1 && last != '\n') {
            // Start the separator on a fresh line, whatever left the file unfinished.
            message += '\n';
            appended.m_lineEndAt = oldSize;
        }
        const std::size_t separatorAt = message.size();
        message += SeparatorLine(std::time(nullptr));
        message += '\n';

        bool inBody = false;
        std::string_view lastLine;
        for (std::string_view rest = m_pending; !rest.empty();) {
            std::size_t end = rest.find('\n');
            lastLine = rest.substr(0, end);
            AppendStoredLine(message, lastLine, inBody);
            if (ReadAsEmpty(lastLine)) inBody = true;
            rest.remove_prefix(end + 1);
        }
        // A separator ends a message only in its body, and not right after a line holding
        // "Forwarded message:": without an empty line here, the next delivery would become
        // part of this message once the spool is read again from its start.
        if (!inBody || lastLine.find("Forwarded message:") != std::string_view::npos) {
            message += '\n';
        }
        // The console sees each pending line as it was received.
        WriteLogText(stdout, m_pending);
        std::fflush(stdout);

        if (oldSize >= 0 && g_access->Append(m_spool, message)) {
            stored = true;
            // With O_APPEND the write went to the end of the file as it was then: the message
            // lies at oldSize unless a writer that ignores the lock came between.
            const off_t end = ::lseek(m_spool, 0, SEEK_CUR);
            if (end == oldSize + static_cast<off_t>(message.size())) {
                appended.m_at = oldSize + static_cast<off_t>(separatorAt);
                appended.m_message = std::string_view(message).substr(separatorAt);
                m_appendDevice = info.st_dev;
                m_appendInode = info.st_ino;
                m_appendEnd = end;
            } else {
                m_appendEnd = -1;
            }
        } else {
            m_appendEnd = -1;
            std::fputs("Write failed\n", stderr);
            // Leave the spool as it was: no half message for the reader to misparse.
            if (oldSize >= 0 && ::ftruncate(m_spool, oldSize) != 0) {
                std::fprintf(stderr, "Error: file name :%s could not be cut back\n",
                             m_spoolPath.c_str());
            }
            appended.m_lineEndAt = -1;
        }
        Discard();
        CloseSpool();
    }
    if (CMailboxNode* mailbox = FindMailboxFolder(m_name)) {
        g_access->ReadNewMail(mailbox, appended);
    } else {
        std::fprintf(stderr, "No MailBox object found for %s\n", m_name.c_str());
    }
    return stored;
}
