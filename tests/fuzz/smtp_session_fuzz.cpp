// Fuzzes the SMTP session, fed in pieces whose sizes the input's first byte chooses,
// delivering into a temporary topics folder with mailboxes "alpha" and "beta". Every reply is a
// whole coded line; every spool holds whole lines, starts with a separator, and reads back, from
// scratch, into exactly the records the live mailbox published as mail arrived.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "FuzzSite.h"
#include "server/FolderNode.h"
#include "server/ServerState.h"
#include "mail/MailSpool.h"
#include "mail/MailboxNode.h"
#include "smtp/SmtpSession.h"

namespace {

constexpr const char* kBoxes[] = {"alpha", "beta"};

bool IsReplyLine(std::string_view line) {
    return line.size() >= 4 && line[0] >= '2' && line[0] <= '5' && line[1] >= '0' &&
           line[1] <= '9' && line[2] >= '0' && line[2] <= '9' && line[3] == ' ';
}

void CheckReplies(std::string_view output) {
    while (!output.empty()) {
        const std::size_t end = output.find("\r\n");
        if (end == std::string_view::npos) __builtin_trap();  // a reply cut short
        if (!IsReplyLine(output.substr(0, end))) __builtin_trap();
        output.remove_prefix(end + 2);
    }
}

std::string ReadAll(const std::string& path) {
    std::string bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[65536];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            bytes.append(buffer, got);
        std::fclose(file);
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static CFuzzDir dir;
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;  // message echo
    (void)quiet;
    static const bool unsynced = (CMailSpool::SetSync(false), true);  // syncs only cost time here
    (void)unsynced;

    auto topics = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "topics");
    for (const char* name : kBoxes) {
        const std::string spool = dir.Write(std::string(name) + "/mailbox", "");
        auto box = std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, name, spool);
        box->m_dirPath = dir.Path(name) + "/";
        topics->AddChild(std::move(box));
    }
    g_state.m_topicsFolder = topics.get();

    {
        std::string_view input(reinterpret_cast<const char*>(data), size);
        const std::size_t step = input.empty() ? 1 : 1 + static_cast<unsigned char>(input[0]);
        CSmtpSession session;
        std::string output = session.Greeting();
        bool closed = false;
        while (!input.empty() && !closed) {
            std::string_view piece = input.substr(0, step);
            input.remove_prefix(piece.size());
            while (!piece.empty() && !closed) {
                piece.remove_prefix(session.Feed(piece));
                if (!session.HasUnit()) continue;
                CSmtpSession::CResult result = session.RunUnit();
                if (result.m_reply.empty()) __builtin_trap();  // every unit is answered
                output += result.m_reply;
                closed = result.m_close;
            }
        }
        if (!closed) session.Closed();
        CheckReplies(output);
    }
    if (CSmtpSession::TotalHeldBytes() != 0)
        __builtin_trap();  // every session gave back its memory

    for (const char* name : kBoxes) {
        auto* live = static_cast<CMailboxNode*>(topics->FindChild(name));
        const std::string spool = ReadAll(live->m_spoolPath);
        // Whole lines only, the first one a separator.
        if (!spool.empty() && (spool.back() != '\n' || spool.rfind("From ???@??? ", 0) != 0))
            __builtin_trap();
        CMailboxNode fresh(CFolderNode::NoScan{}, name, live->m_spoolPath);
        fresh.ReadSpool(0);
        if (fresh.MessageCount() != live->MessageCount()) __builtin_trap();
        if (fresh.ReadOffset() != live->ReadOffset()) __builtin_trap();
    }
    g_state.m_topicsFolder = nullptr;
    return 0;
}
