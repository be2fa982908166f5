// Fuzzes the SMTP command loop: any bytes from a client, delivered into one real mailbox.
// Every reply must be one "ddd text\r\n" line, and the spool must only ever grow by whole
// lines that end in "\n" and start each message with a separator.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "Server/FolderNode.h"
#include "Server/ServerState.h"
#include "Server/SocketStream.h"
#include "mail/MailboxNode.h"
#include "smtp/SmtpConversation.h"

namespace {

struct CFuzzSite {
    CFuzzSite() {
        char pattern[] = "/tmp/vantrel-smtp-fuzz-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        m_topics = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "topics");
        m_spool = m_dir + "/mailbox";
        m_topics->AddChild(std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, "box", m_spool));
        g_state.m_topicsFolder = m_topics.get();
    }
    std::string m_dir;
    std::string m_spool;
    std::unique_ptr<CFolderNode> m_topics;
};

bool RepliesWellFormed(const std::string& output) {
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find("\r\n", start);
        if (end == std::string::npos || end - start < 4) return false;
        for (std::size_t i = start; i < start + 3; ++i) {
            if (output[i] < '0' || output[i] > '9') return false;
        }
        if (output[start + 3] != ' ') return false;
        start = end + 2;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static CFuzzSite site;
    ::truncate(site.m_spool.c_str(), 0);
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;

    CSmtpConversation conversation;
    CSocketStream stream;
    stream.OpenMemory(std::string(reinterpret_cast<const char*>(data), size));
    conversation.RunSession(stream);
    // A second connection delivers whatever the first left pending.
    CSocketStream again;
    again.OpenMemory("QUIT\r\n");
    conversation.RunSession(again);

    if (!RepliesWellFormed(stream.TakeOutput()) || !RepliesWellFormed(again.TakeOutput())) {
        __builtin_trap();
    }
    std::ifstream in(site.m_spool, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string spool = text.str();
    if (!spool.empty() && (spool.back() != '\n' || spool.rfind("From ???@??? ", 0) != 0)) {
        __builtin_trap();
    }
    return 0;
}
