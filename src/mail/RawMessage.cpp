// RawMessage.cpp - one message as it is stored: the spool's bytes from the message's first
// line (its separator) up to the next message's, sent with sendfile. The bytes are read once
// first to tell whether they are UTF-8, which is the only charset the reply may claim.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "server/HttpHeader.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "server/Utf8.h"
#include "mail/MailboxNode.h"
#include "mail/MessageNode.h"
#include "mail/MessageUrl.h"
#include "platform/Fd.h"

namespace {

constexpr std::size_t kCheckBlock = 64 * 1024;

// Whether the `length` bytes at `offset` are UTF-8, read a block at a time (a sequence cut
// by a block's end is carried into the next). False too when they cannot all be read.
bool IsUtf8Range(int fd, std::int64_t offset, std::int64_t length) {
    std::string buffer;
    std::size_t carried = 0;
    while (length > 0) {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::int64_t>(length, static_cast<std::int64_t>(kCheckBlock)));
        buffer.resize(carried + want);
        const ssize_t got = ::pread(fd, buffer.data() + carried, want, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        offset += got;
        length -= got;
        buffer.resize(carried + static_cast<std::size_t>(got));
        std::size_t i = 0;
        while (i < buffer.size()) {
            const int sequence = Utf8SequenceLength(std::string_view(buffer).substr(i));
            if (sequence > 0) {
                i += static_cast<std::size_t>(sequence);
            } else if (sequence < 0 && length > 0) {
                break;  // completed by the next block
            } else {
                return false;
            }
        }
        buffer.erase(0, i);
        carried = buffer.size();
    }
    return carried == 0;
}

}  // namespace

void CMessageNode::ReplyRaw(CSocketStream& out) {
    std::int64_t end;
    {
        auto lock = Mailbox()->ReadLock();
        end = Mailbox()->MessageEnd(*this);
    }
    const std::int64_t length = end - m_offset;
    CFd spool(::open(SpoolPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    // A spool cut shorter by another program no longer holds the message.
    if (!spool.IsValid() || ::fstat(spool.Get(), &st) != 0 || !S_ISREG(st.st_mode) || length < 0 ||
        st.st_size < end) {
        WriteNotFound(out);
        return;
    }
    const bool utf8 = IsUtf8Range(spool.Get(), m_offset, length);
    WriteHttpHeader(out, utf8 ? "text/plain; charset=utf-8" : "text/plain", st.st_mtime, length);
    if (::lseek(spool.Get(), m_offset, SEEK_SET) != m_offset) return;
    const std::int64_t sent = out.SendFile(spool.Get(), length);
    if (g_state.m_logRequests.load(std::memory_order_relaxed)) {
        LogLines(out.m_threadId, std::to_string(sent) + " bytes sent.");
    }
}
