// The reply queue when no descriptor is left to keep a queued file body by: the rest of the
// body must still reach the peer, byte for byte, as copied bytes.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/ReplyQueue.h"
#include "platform/Fd.h"
#include "TempTree.h"

namespace {

// Lowers the soft descriptor limit and fills every free descriptor below it, so the next
// descriptor the process asks for fails with EMFILE; undoes both when it goes.
class CNoFreeDescriptors {
  public:
    explicit CNoFreeDescriptors(int template_fd) {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = 256;
        EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        for (int fd; (fd = ::fcntl(template_fd, F_DUPFD_CLOEXEC, 0)) >= 0;)
            m_filled.push_back(fd);
        EXPECT_EQ(errno, EMFILE);
    }
    ~CNoFreeDescriptors() {
        for (int fd : m_filled)
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }

  private:
    rlimit m_saved{};
    std::vector<int> m_filled;
};

}  // namespace

TEST(ReplyQueue, FileBodyWithoutADescriptorIsCopiedWhole) {
    CTempTree tree;
    std::string body;
    for (int i = 0; body.size() < 1024 * 1024; ++i)
        body += std::to_string(i) + ",";
    CFd file(::open(tree.Write("body.bin", body).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(file.IsValid());

    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    CFd ours(pair[0]), peer(pair[1]);
    int small = 16 * 1024;
    ::setsockopt(ours.Get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // Room for the whole body, so the worker side never waits for the peer.
    CReplyBudget budget(64 * 1024 * 1024, 64 * 1024 * 1024);
    int wakes = 0;
    CReplyQueue queue(ours.Get(), budget, [&wakes] { ++wakes; });
    // Meet the queue's type once while descriptors are free: the sanitizers' type check needs
    // a pipe the first time it sees a type, and would report a false fault inside the window.
    ASSERT_EQ(queue.BytesSent(), 0u);
    {
        CNoFreeDescriptors full(file.Get());
        EXPECT_EQ(queue.SendFile(file.Get(), 0, static_cast<std::int64_t>(body.size())),
                  static_cast<std::int64_t>(body.size()));
    }
    queue.Finish();
    EXPECT_EQ(wakes, 1);           // the socket filled up, and the loop was asked to send on
    EXPECT_GT(budget.Held(), 0u);  // the rest is held as bytes, not as a descriptor

    std::string received;
    char chunk[64 * 1024];
    for (;;) {
        CReplyQueue::EDrain state = queue.Drain();
        ASSERT_NE(state, CReplyQueue::EDrain::Failed);
        ssize_t n = ::recv(peer.Get(), chunk, sizeof chunk, 0);
        if (n > 0) received.append(chunk, static_cast<std::size_t>(n));
        if (n == 0) break;  // our side was shut after the last byte
        if (n < 0) {
            ASSERT_EQ(errno, EAGAIN);
            pollfd wait{peer.Get(), POLLIN, 0};
            ::poll(&wait, 1, 100);
        }
    }
    EXPECT_EQ(received.size(), body.size());
    EXPECT_TRUE(received == body);
    EXPECT_EQ(budget.Held(), 0u);
}
