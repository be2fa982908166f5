// AccessLog.cpp - one write(2) per line on an O_APPEND descriptor: lines of different workers
// never interleave, and the lock only keeps a reopen from closing the descriptor under a write.
#include "server/AccessLog.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

#include "server/RequestHeaders.h"
#include "server/SocketStream.h"
#include "platform/Socket.h"

namespace {

std::mutex g_logLock;
int g_fd = -1;                    // guarded by g_logLock; 1 for standard output
std::string g_path;               // guarded by g_logLock
std::atomic<bool> g_open{false};  // g_fd >= 0, read without the lock on every request

int OpenForAppend(const std::string& path) {
    if (path == "-") return STDOUT_FILENO;
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "Cannot open the access log %s: %s\n", path.c_str(),
                     std::strerror(errno));
    }
    return fd;
}

void CloseUnlessStdout(int fd) {
    if (fd >= 0 && fd != STDOUT_FILENO) ::close(fd);
}

void AppendEscaped(std::string& line, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            line += "\\x";
            line += kHex[byte >> 4];
            line += kHex[byte & 15];
        } else {
            line += c;
        }
    }
}

std::string ClientAddress(const sockaddr_storage& peer) {
    std::string text = Sockets::AddressText(peer);
    return text.empty() ? "-" : text;
}

}  // namespace

bool OpenAccessLog(const std::string& path) {
    int fd = path.empty() ? -1 : OpenForAppend(path);
    std::scoped_lock guard(g_logLock);
    CloseUnlessStdout(g_fd);
    g_fd = fd;
    g_path = fd >= 0 ? path : std::string();
    g_open = fd >= 0;
    return path.empty() || fd >= 0;
}

void ReopenAccessLog() {
    std::string path;
    {
        std::scoped_lock guard(g_logLock);
        path = g_path;
    }
    if (path.empty() || path == "-") return;
    int fd = OpenForAppend(path);
    if (fd < 0) return;  // keep writing to the old file rather than lose lines
    int old;
    {
        std::scoped_lock guard(g_logLock);
        old = g_fd;
        g_fd = fd;
    }
    CloseUnlessStdout(old);
}

void CloseAccessLog() {
    OpenAccessLog({});
}

bool AccessLogIsOpen() {
    return g_open.load(std::memory_order_relaxed);
}

std::string FormatAccessLine(const std::string& client, std::time_t received,
                             const std::vector<std::string>& lines, int status,
                             long long bodyBytes) {
    char when[64] = "-";
    std::tm local{};
    if (localtime_r(&received, &local)) {
        std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local);
    }
    auto quoted = [&](std::string& line, std::optional<std::string_view> value) {
        line += '"';
        if (value && !value->empty()) {
            AppendEscaped(line, *value);
        } else {
            line += '-';
        }
        line += '"';
    };
    std::string line;
    line.reserve(256);
    AppendEscaped(line, client);
    line += " - - [";
    line += when;
    line += "] ";
    quoted(line, lines.empty() ? std::nullopt : std::optional<std::string_view>(lines.front()));
    line += ' ';
    line += status > 0 ? std::to_string(status) : "-";
    line += ' ';
    line += bodyBytes > 0 ? std::to_string(bodyBytes) : "-";
    line += ' ';
    quoted(line, FindRequestHeader(&lines, "Referer"));
    line += ' ';
    quoted(line, FindRequestHeader(&lines, "User-Agent"));
    line += '\n';
    return line;
}

void WriteAccessLog(const CSocketStream& out, const std::vector<std::string>& lines,
                    std::time_t received) {
    if (!AccessLogIsOpen()) return;
    std::string line = FormatAccessLine(ClientAddress(out.m_peerAddress), received, lines,
                                        out.m_status, out.m_bodyBytes);
    std::scoped_lock guard(g_logLock);
    if (g_fd < 0) return;
    for (std::size_t at = 0; at < line.size();) {
        ssize_t n = ::write(g_fd, line.data() + at, line.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // disk full: the line is lost, the reply is not
        at += static_cast<std::size_t>(n);
    }
}
