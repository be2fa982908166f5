// Fuzzes one whole request through the real request path: head reading, dispatch, the path
// walk, listings, scenes, file replies and mail pages, on a memory stream over a tree scanned
// once from a temporary site. Files outside the tree, dot-files and a symbolic link made after
// the scan hold marker texts that no reply may ever carry.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSite.h"
#include "server/FolderNode.h"
#include "server/HttpConnection.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "mail/MailArchive.h"

namespace {

constexpr std::string_view kOutsideMarker = "OUTSIDE-THE-TREE-5e1b";
constexpr std::string_view kHiddenMarker = "DOT-FILE-CONTENT-93c2";

constexpr std::string_view kSpool =
    "From ???@??? Mon Jan 09 10:11:12 1995\n"
    "From: Ann Lee <ann@host.example>\n"
    "Subject: lunch? <b>bold</b>\n"
    "Message-Id: <1@host>\n"
    "\n"
    "Shall we? See http://example.com/menu or mail ann@host.example\n"
    "From ???@??? Mon Jan 09 11:00:00 1995\n"
    "From: bob@host.example (Bob)\n"
    "Subject: Re: lunch?\n"
    "In-Reply-To: <1@host>\n"
    "\n"
    "Yes.\n";

struct CFuzzTree {
    CFuzzDir dir;
    CFuzzTree() {
        dir.Write("outside.txt", kOutsideMarker);
        dir.Write("site/vantrel.cfg", "title=Fuzz site\n");
        dir.Write("site/a.txt", "alpha\n");
        dir.Write("site/Docs/readme.txt", "docs\n");
        dir.Write("site/Docs/page.html", "<p>page</p>\n");
        dir.Write("site/Docs/.secret", kHiddenMarker);
        dir.Write("site/.hidden", kHiddenMarker);
        dir.Write("site/topics/vantrel.cfg", "topics\n");
        dir.Write("site/topics/list/mailbox", kSpool);
        dir.Write("site/topics/list/notes.txt", kHiddenMarker);  // a mailbox publishes no files
        RegisterMailArchive();
        g_state.m_root = std::make_unique<CFolderNode>(dir.Path("site"));
        // A fixture that failed to scan would make every input a cheap 404.
        if (!g_state.m_root->FindChild("a.txt") || !g_state.m_root->FindChild("Docs") ||
            !g_state.m_topicsFolder || !g_state.m_topicsFolder->FindChild("list")) {
            __builtin_trap();
        }
        // Made after the scan: the operator never published it.
        if (::symlink(dir.Path("outside.txt").c_str(), dir.Path("site/late.txt").c_str()) != 0 ||
            ::symlink(dir.Path("").c_str(), dir.Path("site/Docs/up").c_str()) != 0) {
            __builtin_trap();
        }
    }
    // No teardown of the published tree here: exit() has already destroyed this thread's
    // pinned snapshot, and the tree goes with the process.
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static CFuzzTree tree;
    CSocketStream stream;
    stream.OpenMemory(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<std::string> lines;
    ReadRequest(stream, lines);
    if (lines.size() > kMaxRequestLines) __builtin_trap();
    if (!lines.empty()) HandleRequest(stream, lines);
    if (stream.m_options != nullptr) __builtin_trap();  // never left pointing at a dead record
    std::string reply = stream.TakeOutput();
    if (Holds(reply, kOutsideMarker) || Holds(reply, kHiddenMarker)) __builtin_trap();
    return 0;
}
