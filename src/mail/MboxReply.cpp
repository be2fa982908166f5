// MboxReply.cpp - a whole mailbox for download: the spool file as it is, sent with sendfile.
//
// The store appends each message with one write under an exclusive flock; taking the shared
// lock while the length is read means the reply ends where a delivery ended, never inside
// one. Mail appended while the reply is sent is not part of it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "server/HttpHeader.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "server/Utf8.h"
#include "mail/MailboxNode.h"
#include "mail/MessageUrl.h"
#include "platform/Fd.h"
#include "text/AsciiText.h"

namespace {

// A writer that ignores the protocol may hold its lock for long: the reply then goes on
// without it rather than holding the worker.
constexpr int kLockTries = 50;
constexpr std::chrono::milliseconds kLockPause{20};

bool IsAttrChar(unsigned char c) {
    return IsAsciiAlnum(static_cast<char>(c)) ||
           std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// "Content-Disposition: attachment; filename=\"NAME.mbox\"": bytes a quoted string cannot
// carry plainly become "_"; a UTF-8 name also goes in the RFC 5987 form, which browsers prefer.
std::string DispositionLine(const std::string& name) {
    const std::string file = name + ".mbox";
    std::string plain;
    bool ascii = true;
    for (unsigned char c : file) {
        ascii = ascii && c < 0x80;
        plain += (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') ? '_' : static_cast<char>(c);
    }
    std::string line = "Content-Disposition: attachment; filename=\"" + plain + "\"";
    if (!ascii && IsValidUtf8(file)) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        line += "; filename*=UTF-8''";
        for (unsigned char c : file) {
            if (IsAttrChar(c)) {
                line += static_cast<char>(c);
            } else {
                line += '%';
                line += kHex[c >> 4];
                line += kHex[c & 0x0F];
            }
        }
    }
    return line + "\r\n";
}

bool LockShared(int fd) {
    for (int attempt = 0; attempt < kLockTries; ++attempt) {
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        std::this_thread::sleep_for(kLockPause);
    }
    return false;
}

}  // namespace

void CMailboxNode::ReplyMbox(CSocketStream& out) {
    CFd spool(::open(m_spoolPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!spool.IsValid() || ::fstat(spool.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        WriteNotFound(out);  // no mail has come yet, so there is no spool
        return;
    }
    const bool locked = LockShared(spool.Get());
    ::fstat(spool.Get(), &st);
    if (locked) ::flock(spool.Get(), LOCK_UN);
    const std::int64_t length = st.st_size;

    WriteHttpHeader(out, "application/mbox", st.st_mtime, length, DispositionLine(m_name));
    const std::int64_t sent = out.SendFile(spool.Get(), length);
    if (g_state.m_logRequests.load(std::memory_order_relaxed)) {
        LogLines(out.m_threadId, std::to_string(sent) + " bytes sent.");
    }
}
