// MailRecipient.cpp - the mailbox store: pending lines of one recipient and their delivery.
#include "smtp/MailRecipient.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

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

void CSpoolAccess::ReadNewMail(CMailboxNode* mailbox, std::int64_t lineEndAddedAt) {
    // Only this thread reads the spool after start-up, so the offset is stable here.
    if (lineEndAddedAt >= 0 && mailbox->ReadOffset() == lineEndAddedAt) {
        mailbox->ReadSpool(lineEndAddedAt + 1);
    } else {
        mailbox->ReadNewMail();
    }
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
    if (m_bytes + text.size() + 1 > kMaxPendingBytes) {
        // Keep nothing of a message that cannot be stored whole.
        m_overflowed = true;
        m_lines.clear();
        m_lines.shrink_to_fit();
        m_bytes = 0;
        return;
    }
    m_lines.emplace_back(text);
    m_bytes += text.size() + 1;
}

void CMailRecipient::Discard() {
    m_lines.clear();
    m_lines.shrink_to_fit();
    m_bytes = 0;
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

bool CMailRecipient::Deliver() {
    if (m_lines.empty()) return true;
    bool stored = false;
    std::int64_t lineEndAddedAt = -1;
    if (OpenSpool() == 0) {
        while (::flock(m_spool, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat info {};
        off_t oldSize = ::fstat(m_spool, &info) == 0 ? info.st_size : -1;

        std::string message;
        message.reserve(m_bytes + m_lines.size() + 64);
        char last = '\n';
        if (oldSize > 0 && ::pread(m_spool, &last, 1, oldSize - 1) == 1 && last != '\n') {
            // Start the separator on a fresh line, whatever left the file unfinished.
            message += '\n';
            lineEndAddedAt = oldSize;
        }
        message += SeparatorLine(std::time(nullptr));
        message += '\n';

        std::string echo;
        echo.reserve(m_bytes);
        bool inBody = false;
        for (const std::string& line : m_lines) {
            echo.append(line).push_back('\n');
            if (inBody && NeedsFromQuote(line)) message += '>';
            message.append(line).push_back('\n');
            if (line.empty()) inBody = true;
        }
        std::fwrite(echo.data(), 1, echo.size(), stdout);
        std::fflush(stdout);

        if (oldSize >= 0 && g_access->Append(m_spool, message)) {
            stored = true;
        } else {
            std::fputs("Write failed\n", stderr);
            // Leave the spool as it was: no half message for the reader to misparse.
            if (oldSize >= 0 && ::ftruncate(m_spool, oldSize) != 0) {
                std::fprintf(stderr, "Error: file name :%s could not be cut back\n",
                             m_spoolPath.c_str());
            }
            lineEndAddedAt = -1;
        }
        Discard();
        CloseSpool();
    }
    if (CMailboxNode* mailbox = FindMailboxFolder(m_name)) {
        g_access->ReadNewMail(mailbox, lineEndAddedAt);
    } else {
        std::fprintf(stderr, "No MailBox object found for %s\n", m_name.c_str());
    }
    return stored;
}
