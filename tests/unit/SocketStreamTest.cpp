// The connection stream over real loopback sockets: line reading, gathered and buffered
// replies, file bodies, HEAD, time-outs, interruption at stop; and a whole listener in both
// stream modes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Server/FolderNode.h"
#include "Server/Listener.h"
#include "Server/ServerState.h"
#include "Server/SocketStream.h"
#include "platform/Fd.h"

namespace fs = std::filesystem;

namespace {

CFd ListenOnLoopback(int& port) {
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd.Get(), 16) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return CFd();
    }
    port = ntohs(address.sin_port);
    return fd;
}

CFd Connect(int port) {
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return CFd();
    return fd;
}

void Send(const CFd& fd, std::string_view data) {
    ASSERT_EQ(::send(fd.Get(), data.data(), data.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(data.size()));
}

std::string ReceiveAll(const CFd& fd) {
    std::string data;
    char chunk[65536];
    for (ssize_t n; (n = ::recv(fd.Get(), chunk, sizeof chunk, 0)) > 0;) {
        data.append(chunk, static_cast<std::size_t>(n));
    }
    return data;
}

class SocketStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        g_state.ResetForTests();
        m_listen = ListenOnLoopback(m_port);
        ASSERT_TRUE(m_listen.IsValid());
    }
    void TearDown() override { g_state.ResetForTests(); }

    // A connected client and the server side accepted into `stream`.
    CFd Open(CSocketStream& stream) {
        CFd client = Connect(m_port);
        EXPECT_TRUE(client.IsValid());
        EXPECT_TRUE(stream.Accept(m_listen.Get()));
        return client;
    }

    int m_port = 0;
    CFd m_listen;
};

TEST_F(SocketStreamTest, DirectModeReadsLinesAndSendsTheGatheredReply) {
    CSocketStream stream;
    CFd client = Open(stream);
    Send(client, "first\r\nsecond\n" + std::string(1500, 'x'));
    ::shutdown(client.Get(), SHUT_WR);
    std::string line;
    EXPECT_EQ(stream.ReadLine(line, 999), CSocketStream::ERead::Line);
    EXPECT_EQ(line, "first\r");
    EXPECT_EQ(stream.ReadLine(line, 999), CSocketStream::ERead::Line);
    EXPECT_EQ(line, "second");
    EXPECT_EQ(stream.ReadLine(line, 999), CSocketStream::ERead::Line);
    EXPECT_EQ(line.size(), 999u);
    EXPECT_EQ(stream.ReadLine(line, 999), CSocketStream::ERead::Line);
    EXPECT_EQ(line.size(), 501u);
    EXPECT_EQ(stream.ReadLine(line, 999), CSocketStream::ERead::End);

    std::string big(200000, 'b');  // passes the send chunk: goes out before Close
    stream << "head" << EndLine << big << 42 << ' ' << -7LL;
    stream.Close();
    EXPECT_EQ(ReceiveAll(client), "head\r\n" + big + "42 -7");
}

TEST_F(SocketStreamTest, BufferedModeHoldsTheReplyUntilClose) {
    CSocketStream stream;
    stream.SetBufferedMode(true);
    CFd client = Connect(m_port);
    // The head arrives before Accept reads it; the client keeps its side open.
    Send(client, "GET / HTTP/1.0\r\nA: b\r\n\r\n");
    ASSERT_TRUE(stream.Accept(m_listen.Get()));
    EXPECT_TRUE(stream.IsBuffered());
    std::string line;
    EXPECT_EQ(stream.ReadLine(line, 999), CSocketStream::ERead::Line);
    EXPECT_EQ(line, "GET / HTTP/1.0\r");
    EXPECT_EQ(stream.ReadLine(line, 999), CSocketStream::ERead::Line);
    EXPECT_EQ(stream.ReadLine(line, 999), CSocketStream::ERead::Line);
    EXPECT_EQ(line, "\r");
    EXPECT_EQ(stream.ReadLine(line, 999), CSocketStream::ERead::End);

    std::string reply(50001, 'r');  // three pieces of at most 20000 bytes
    stream << reply << EndLine;
    stream.Flush();
    char probe;
    EXPECT_EQ(::recv(client.Get(), &probe, 1, MSG_DONTWAIT), -1);  // nothing sent yet
    stream.Close();
    EXPECT_EQ(ReceiveAll(client), reply + "\r\n");
}

// Small bodies are read into the reply, larger ones go by sendfile: the bytes are the same
// either way, in both modes, and HEAD sends none. A file shorter than announced ends early.
TEST_F(SocketStreamTest, FileBodiesAndHead) {
    fs::path file = fs::temp_directory_path() / ("vantrel-sendfile-" + std::to_string(::getpid()));
    std::string content;
    for (int i = 0; i < 300000; ++i)
        content += static_cast<char>(i * 7);

    struct Case {
        const char* label;
        bool buffered;
        bool head;
    } cases[] = {{"direct", false, false}, {"buffered", true, false}, {"head", false, true}};
    const std::int64_t inlineMax = CSocketStream::kInlineFileBytes;
    for (std::int64_t size : {std::int64_t{1}, inlineMax, inlineMax + 1, std::int64_t{300000}}) {
        const std::string body = content.substr(0, static_cast<std::size_t>(size));
        std::ofstream(file, std::ios::binary | std::ios::trunc) << body;
        for (std::int64_t announced : {size, size + 10}) {
            for (const Case& c : cases) {
                SCOPED_TRACE(std::string(c.label) + " size " + std::to_string(size) +
                             " announced " + std::to_string(announced));
                CSocketStream stream;
                stream.SetBufferedMode(c.buffered);
                CFd client = Connect(m_port);
                Send(client, "\r\n\r\n");
                ASSERT_TRUE(stream.Accept(m_listen.Get()));
                stream.m_headOnly = c.head;
                stream << "header" << EndLine << EndLine;
                stream.BeginBody();
                CFd fd(::open(file.c_str(), O_RDONLY));
                std::int64_t sent = stream.SendFile(fd.Get(), announced);
                stream << "after";
                stream.Close();
                std::string got = ReceiveAll(client);
                if (c.head) {
                    EXPECT_EQ(sent, 0);
                    EXPECT_EQ(got, "header\r\n\r\n");
                } else {
                    EXPECT_EQ(sent, size);
                    EXPECT_TRUE(got == "header\r\n\r\n" + body + "after");
                }
            }
        }
    }
    fs::remove(file);
}

TEST_F(SocketStreamTest, ReadTimeOutAndInterruptEndABlockedRead) {
    CSocketStream timed;
    timed.SetTimeouts(1, 1);
    CFd quiet = Open(timed);
    std::string line;
    EXPECT_EQ(timed.ReadLine(line, 999), CSocketStream::ERead::TimedOut);
    timed.Close();

    // No time-out at all: only Interrupt can end this read.
    CSocketStream blocked;
    CFd silent = Open(blocked);
    CSocketStream::ERead result = CSocketStream::ERead::Line;
    std::thread reader([&] { result = blocked.ReadLine(line, 999); });
    blocked.Interrupt();
    reader.join();
    EXPECT_NE(result, CSocketStream::ERead::Line);
    blocked.Close();
}

TEST_F(SocketStreamTest, WritingToAClosedPeerFailsQuietly) {
    CSocketStream stream;
    CFd client = Open(stream);
    client.Reset();
    std::string chunk(CSocketStream::kSendChunk, 'z');
    for (int i = 0; i < 64 && stream.Good(); ++i)
        stream << chunk;
    EXPECT_FALSE(stream.Good());
    stream.Close();
}

// A whole listener with its loop and workers: files, refusals and 404s come back whole, also
// when requests arrive at once on more connections than there are workers.
TEST_F(SocketStreamTest, ListenerServesThroughItsLoop) {
    fs::path dir = fs::temp_directory_path() / ("vantrel-listener-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "f.txt") << "file body";
    g_state.m_root = std::make_unique<CFolderNode>(dir.string());
    {
        CHttpListener listener;
        ASSERT_TRUE(listener.IsValid());
        ASSERT_TRUE(listener.Listen(0, 2));
        int port = listener.BoundPort();
        ASSERT_GT(port, 0);
        std::vector<CFd> clients;
        for (int i = 0; i < 6; ++i) {
            clients.push_back(Connect(port));
            const char* requests[] = {"GET /F.TXT HTTP/1.0\r\n\r\n", "PUT / HTTP/1.0\r\n\r\n",
                                      "GET /none HTTP/1.0\r\n\r\n"};
            Send(clients.back(), requests[i % 3]);
        }
        for (int i = 0; i < 6; ++i) {
            std::string reply = ReceiveAll(clients[i]);
            const char* wanted[] = {"Content-length: 9\r\n\r\nfile body",
                                    "HTTP/1.0 599 Unrecognized method request\r\n\r\n",
                                    "HTTP/1.0 404 FILE NOT FOUND"};
            EXPECT_NE(reply.find(wanted[i % 3]), std::string::npos) << reply;
        }
    }  // the listener ends its loop and joins its workers here
    g_state.m_root.reset();
    fs::remove_all(dir);
}

// A port that does not fit 16 bits is refused, not wrapped onto another port.
TEST_F(SocketStreamTest, PortOutsideTheRangeIsABindError) {
    for (int port : {65536 + 8080, -1}) {
        SCOPED_TRACE(port);
        CHttpListener listener;
        ASSERT_TRUE(listener.IsValid());
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(listener.Listen(port, 1));
        EXPECT_EQ(
            ::testing::internal::GetCapturedStderr(),
            "Windows Socket error 22:  Couldn't bind the server socket.\nCannot listen on port " +
                std::to_string(port) + ": Invalid argument\n");
        EXPECT_EQ(listener.BoundPort(), 0);  // never bound
    }
}

}  // namespace
