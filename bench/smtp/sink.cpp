// sink.cpp - an SMTP sink for the bench: answers every command at once and stores nothing, so
// its rate is the load client's ceiling. Each connection is served on a thread of its own, so
// concurrent clients are served at once.
//   sink PORT   (prints "ready" once it listens; runs until killed)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

void Send(int fd, const char* text) {
    std::size_t length = std::strlen(text);
    while (length > 0) {
        ssize_t n = ::send(fd, text, length, MSG_NOSIGNAL);
        if (n <= 0) return;
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

void Serve(int fd) {
    Send(fd, "220 sink\r\n");
    std::string pending;
    bool inData = false;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t lf; (lf = pending.find('\n', start)) != std::string::npos;
             start = lf + 1) {
            std::string_view line(pending.data() + start, lf - start + 1);
            if (inData) {
                if (line == ".\r\n") {
                    inData = false;
                    Send(fd, "250 OK\r\n");
                }
            } else if (line.substr(0, 4) == "DATA") {
                inData = true;
                Send(fd, "354 go\r\n");
            } else if (line.substr(0, 4) == "QUIT") {
                Send(fd, "221 bye\r\n");
                return;
            } else {
                Send(fd, "250 OK\r\n");
            }
        }
        pending.erase(0, start);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, SOMAXCONN) != 0) {
        std::perror("sink");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::thread([fd] {
            Serve(fd);
            ::close(fd);
        }).detach();
    }
}
