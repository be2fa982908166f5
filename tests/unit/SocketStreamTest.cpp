// The request stream: file bodies into a reply sink (inline or from the file), HEAD, a sink
// whose peer has gone; and a whole listener, loop, workers and reply queues, on loopback.
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
#include <vector>

#include "server/FolderNode.h"
#include "server/Listener.h"
#include "server/ReplySink.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "platform/Fd.h"

namespace fs = std::filesystem;

namespace {

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

// A peer that takes everything, remembering what came as bytes and what came from a file.
class CRecordingSink : public CReplySink {
  public:
    bool Send(std::string& bytes, bool) override {
        if (m_gone) return false;
        m_received += bytes;
        bytes.clear();
        return true;
    }
    std::int64_t SendFile(int fd, std::int64_t offset, std::int64_t length) override {
        if (m_gone) return -1;
        std::string piece(static_cast<std::size_t>(length), '\0');
        ssize_t n = ::pread(fd, piece.data(), piece.size(), offset);
        if (n < 0) return -1;
        m_received.append(piece.data(), static_cast<std::size_t>(n));
        m_fromFiles += n;
        return n;
    }
    void Finish() override { m_finished = true; }

    std::string m_received;
    std::int64_t m_fromFiles = 0;
    bool m_finished = false;
    bool m_gone = false;
};

class SocketStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        g_state.ResetForTests();
    }
    void TearDown() override { g_state.ResetForTests(); }
};

// Small bodies are read into the reply, larger ones go from the file: the bytes are the same
// either way, after the header and before what follows, and HEAD sends none. A file shorter
// than announced ends early. Memory mode keeps the same bytes.
TEST_F(SocketStreamTest, FileBodiesAndHead) {
    fs::path file = fs::temp_directory_path() / ("vantrel-sendfile-" + std::to_string(::getpid()));
    std::string content;
    for (int i = 0; i < 300000; ++i)
        content += static_cast<char>(i * 7);

    const std::int64_t inlineMax = CSocketStream::kInlineFileBytes;
    for (std::int64_t size : {std::int64_t{1}, inlineMax, inlineMax + 1, std::int64_t{300000}}) {
        const std::string body = content.substr(0, static_cast<std::size_t>(size));
        std::ofstream(file, std::ios::binary | std::ios::trunc) << body;
        for (std::int64_t announced : {size, size + 10}) {
            for (const char* mode : {"sink", "memory", "head"}) {
                SCOPED_TRACE(std::string(mode) + " size " + std::to_string(size) + " announced " +
                             std::to_string(announced));
                CRecordingSink sink;
                CSocketStream stream;
                if (std::string(mode) == "memory") {
                    stream.OpenMemory("");
                } else {
                    stream.OpenReply(&sink, sockaddr_storage{});
                }
                stream.m_headOnly = std::string(mode) == "head";
                stream << "header" << EndLine << EndLine;
                stream.BeginBody();
                CFd fd(::open(file.c_str(), O_RDONLY));
                ::lseek(fd.Get(), 0, SEEK_SET);
                std::int64_t sent = stream.SendFile(fd.Get(), announced);
                stream << "after";
                stream.Close();
                std::string got =
                    std::string(mode) == "memory" ? stream.TakeOutput() : sink.m_received;
                if (stream.m_headOnly) {
                    EXPECT_EQ(sent, 0);
                    EXPECT_EQ(got, "header\r\n\r\n");
                } else {
                    EXPECT_EQ(sent, size);
                    EXPECT_TRUE(got == "header\r\n\r\n" + body + "after");
                    EXPECT_EQ(stream.m_bodyBytes, size + 5);
                }
                if (std::string(mode) == "sink") {
                    EXPECT_TRUE(sink.m_finished);
                    EXPECT_EQ(sink.m_fromFiles, announced > inlineMax ? size : 0);
                }
            }
        }
    }
    fs::remove(file);
}

// A peer that has gone fails the stream once; the rest of the reply is dropped quietly.
TEST_F(SocketStreamTest, WritingToAGonePeerFailsQuietly) {
    CRecordingSink sink;
    sink.m_gone = true;
    CSocketStream stream;
    stream.OpenReply(&sink, sockaddr_storage{});
    std::string chunk(CSocketStream::kSendChunk, 'z');
    stream << chunk;
    EXPECT_FALSE(stream.Good());
    stream << chunk;
    stream.Close();
    EXPECT_TRUE(sink.m_finished);
    EXPECT_EQ(sink.m_received, "");
}

// A whole listener with its loop and workers: files, refusals and 404s come back whole, also
// when requests arrive at once on more connections than there are workers.
TEST_F(SocketStreamTest, ListenerServesThroughItsLoop) {
    fs::path dir = fs::temp_directory_path() / ("vantrel-listener-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "f.txt") << "file body";
    std::string big;
    for (int i = 0; i < 3000000; ++i)
        big += static_cast<char>('a' + i % 23);
    std::ofstream(dir / "big.bin", std::ios::binary) << big;
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
        // A body larger than the socket buffers goes through the queue and the loop.
        CFd large = Connect(port);
        Send(large, "GET /big.bin HTTP/1.0\r\n\r\n");
        std::string reply = ReceiveAll(large);
        ASSERT_GE(reply.size(), big.size());
        EXPECT_TRUE(reply.compare(reply.size() - big.size(), big.size(), big) == 0);
        for (int i = 0; i < 6; ++i) {
            reply = ReceiveAll(clients[i]);
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
