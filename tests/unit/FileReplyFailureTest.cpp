// A published file that cannot be opened at reply time: a name that has gone gets the quiet
// not-found page, a server out of descriptors says so (503) and tells the operator.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "TempTree.h"
#include "server/FileNode.h"
#include "server/FolderNode.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

namespace {

class FileReplyFailureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_state.ResetForTests();
        m_tree.Write("a.txt", "published");
        m_root = std::make_unique<CFolderNode>(m_tree.Path().string());
        m_file = dynamic_cast<CFileNode*>(m_root->FindChild("a.txt"));
        ASSERT_NE(m_file, nullptr);
    }
    void TearDown() override {
        m_root.reset();
        g_state.ResetForTests();
    }

    // The reply and what went to standard error meanwhile.
    std::pair<std::string, std::string> Reply() {
        CSocketStream out;
        out.OpenMemory("");
        ::testing::internal::CaptureStderr();
        {
            CNoDescriptorsLeft none(m_starve);
            m_file->Reply(out);
        }
        return {out.TakeOutput(), ::testing::internal::GetCapturedStderr()};
    }

    // Lowers the descriptor limit below every descriptor open now, so the next open() fails
    // with EMFILE; the limit is back when it goes out of scope.
    struct CNoDescriptorsLeft {
        explicit CNoDescriptorsLeft(bool active) {
            if (!active || ::getrlimit(RLIMIT_NOFILE, &m_saved) != 0) return;
            rlimit none = m_saved;
            none.rlim_cur = 0;
            m_active = ::setrlimit(RLIMIT_NOFILE, &none) == 0;
        }
        ~CNoDescriptorsLeft() {
            if (m_active) ::setrlimit(RLIMIT_NOFILE, &m_saved);
        }
        rlimit m_saved{};
        bool m_active = false;
    };

    CTempTree m_tree;
    std::unique_ptr<CFolderNode> m_root;
    CFileNode* m_file = nullptr;
    bool m_starve = false;
};

TEST_F(FileReplyFailureTest, GoneFileGetsTheNotFoundPageAndNoLogLine) {
    ::unlink((m_tree.Path() / "a.txt").c_str());
    auto [reply, log] = Reply();
    EXPECT_EQ(reply,
              "HTTP/1.0 404 FILE NOT FOUND\r\nContent-type: text/html\r\n\r\n<HEAD><TITLE>File "
              "Not Found</TITLE></HEAD><BODY><H1>404 File \"a.txt\" Not Found</H1>The file is not "
              "available or may have moved since the server was started\r\n");
    EXPECT_EQ(log, "");
    EXPECT_NE(m_root->FindChild("a.txt"), nullptr);  // the node stays in the tree
}

TEST_F(FileReplyFailureTest, OutOfDescriptorsIsUnavailableNotGone) {
    m_starve = true;
    auto [reply, log] = Reply();
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "HTTP/1.0 503 Service Unavailable");
    EXPECT_NE(reply.find("\r\nRetry-After: 1\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("404"), std::string::npos) << reply;
    EXPECT_EQ(log, "Not sent: /a.txt " + std::string(std::strerror(EMFILE)) + "\n");
    // Once descriptors are back the same file is sent.
    m_starve = false;
    EXPECT_EQ(Reply().first.substr(0, 29), "HTTP/1.0 200 Document follows");
}

}  // namespace
