// load.cpp - SMTP load client for the bench: delivers N messages in lock step (one command, then
// wait for its reply), as a plain mail client does, from precomputed bytes, so that the client
// costs a few microseconds per command and the server's round trips are what is measured.
//
//   load PORT MESSAGES SIZE one|per [CLIENTS]
//     one      every message over one connection (HELO once, then MAIL, RCPT, DATA per message)
//     per      one connection per message (greeting, HELO, MAIL, RCPT, DATA, QUIT)
//     CLIENTS  that many clients at once (threads), each delivering its share of MESSAGES in
//              the same pattern; the rate is all messages over the time until the last ends
// Prints "<messages/s>" on standard output; exits 1 (with the reply on standard error) when a
// reply is not the one expected, so a server that refuses mail never shows as fast.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// The same message as bench_smtp.py's message_bytes(): a short header, then numbered lines of
// 44 bytes each, then the end-of-data line.
std::string MessageBytes(long size) {
    std::string text = "From: bench <b@example.org>\r\nSubject: bench\r\n\r\n";
    long lines = size / 44 > 0 ? size / 44 : 1;
    char line[64];
    for (long i = 0; i < lines; ++i) {
        std::snprintf(line, sizeof line, "line %05ld of the message body, plain text\r\n", i);
        text += line;
    }
    text += ".\r\n";
    return text;
}

[[noreturn]] void Fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "load: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::exit(1);
}

class Connection {
  public:
    explicit Connection(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (m_fd < 0) Fail("socket", std::strerror(errno));
        int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<unsigned short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            Fail("connect", std::strerror(errno));
        Expect('2');
    }
    ~Connection() { ::close(m_fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Command(std::string_view bytes, char code = '2') {
        while (!bytes.empty()) {
            ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) Fail("send", n < 0 ? std::strerror(errno) : "connection closed");
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        Expect(code);
    }

  private:
    // Reads one reply (its continuation lines "xyz-" too) and checks its first digit.
    void Expect(char code) {
        for (;;) {
            std::string_view line = ReadLine();
            if (line.size() < 4 || line[0] != code) Fail("unexpected reply", line);
            if (line[3] != '-') return;
        }
    }

    std::string_view ReadLine() {
        for (;;) {
            const char* lf =
                static_cast<const char*>(std::memchr(m_buffer + m_start, '\n', m_end - m_start));
            if (lf != nullptr) {
                std::string_view line(m_buffer + m_start, lf + 1 - (m_buffer + m_start));
                m_start = static_cast<std::size_t>(lf + 1 - m_buffer);
                return line;
            }
            if (m_start > 0) {
                std::memmove(m_buffer, m_buffer + m_start, m_end - m_start);
                m_end -= m_start;
                m_start = 0;
            }
            if (m_end == sizeof m_buffer) Fail("reply line too long", {m_buffer, m_end});
            ssize_t n = ::recv(m_fd, m_buffer + m_end, sizeof m_buffer - m_end, 0);
            if (n <= 0) Fail("recv", n < 0 ? std::strerror(errno) : "connection closed");
            m_end += static_cast<std::size_t>(n);
        }
    }

    int m_fd = -1;
    char m_buffer[4096];
    std::size_t m_start = 0;
    std::size_t m_end = 0;
};

void Transaction(Connection& c, const std::string& message) {
    c.Command("MAIL FROM:<b@example.org>\r\n");
    c.Command("RCPT TO:<alpha@example.org>\r\n");
    c.Command("DATA\r\n", '3');
    c.Command(message);
}

void Deliver(int port, long count, const std::string& message, bool oneConnection) {
    if (oneConnection) {
        Connection c(port);
        c.Command("HELO bench\r\n");
        for (long i = 0; i < count; ++i)
            Transaction(c, message);
        c.Command("QUIT\r\n");
        return;
    }
    for (long i = 0; i < count; ++i) {
        Connection c(port);
        c.Command("HELO bench\r\n");
        Transaction(c, message);
        c.Command("QUIT\r\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: load PORT MESSAGES SIZE one|per [CLIENTS]\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    long count = std::atol(argv[2]);
    std::string message = MessageBytes(std::atol(argv[3]));
    std::string_view mode = argv[4];
    long clients = argc == 6 ? std::atol(argv[5]) : 1;
    if (count <= 0 || (mode != "one" && mode != "per") || clients <= 0 || clients > count) {
        std::fprintf(stderr, "load: bad MESSAGES, mode or CLIENTS\n");
        return 2;
    }

    auto start = std::chrono::steady_clock::now();
    if (clients == 1) {
        Deliver(port, count, message, mode == "one");
    } else {
        std::vector<std::thread> threads;
        for (long i = 0; i < clients; ++i) {
            long share = count / clients + (i < count % clients ? 1 : 0);
            threads.emplace_back(Deliver, port, share, std::cref(message), mode == "one");
        }
        for (auto& thread : threads)
            thread.join();
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%.1f\n", static_cast<double>(count) / elapsed.count());
    return 0;
}
