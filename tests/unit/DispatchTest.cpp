// Reading a request head and dispatching it: refusals, the path walk, the 404 page, the
// request options, HEAD. Driven through a memory stream over an in-memory tree.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server/FolderNode.h"
#include "server/HttpConnection.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

namespace {

// Answers with its own name and the request's type option, so a test sees which node the
// walk found and which options it was given.
class CEchoNode : public CFolderNode {
  public:
    explicit CEchoNode(std::string name) : CFolderNode(NoScan{}, std::move(name)) {}
    void Reply(CSocketStream& out) override {
        out << "node:" << m_name << " type:" << (out.m_options ? out.m_options->m_type : "?");
    }
};

CEchoNode* AddEcho(CNode& parent, std::string name) {
    auto node = std::make_unique<CEchoNode>(std::move(name));
    CEchoNode* raw = node.get();
    parent.AddChild(std::move(node));
    return raw;
}

constexpr const char* k404 =
    "HTTP/1.0 404 FILE NOT FOUND\r\n\r\n<HEAD><TITLE>File Not Found</TITLE></HEAD><BODY><H1>404 "
    "File Not Found</H1>The file is not found on this server\r\n";

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_state.ResetForTests();
        g_state.m_root = std::make_unique<CEchoNode>("");
        CEchoNode* docs = AddEcho(*g_state.m_root, "Docs");
        AddEcho(*docs, "ReadMe.txt");
        AddEcho(*g_state.m_root, "a b");
        AddEcho(*g_state.m_root, "x");
    }
    void TearDown() override { g_state.ResetForTests(); }

    std::string Handle(std::vector<std::string> lines, const char* peer = nullptr) {
        CSocketStream out;
        out.OpenMemory("");
        if (peer) {
            auto& v4 = reinterpret_cast<sockaddr_in&>(out.m_peerAddress);
            v4.sin_family = AF_INET;
            inet_pton(AF_INET, peer, &v4.sin_addr);
        }
        HandleRequest(out, lines);
        EXPECT_EQ(out.m_options, nullptr);  // never left pointing at a dead record
        return out.TakeOutput();
    }
    static std::vector<std::string> Read(std::string input) {
        CSocketStream in;
        in.OpenMemory(std::move(input));
        std::vector<std::string> lines{"left over"};
        ReadRequest(in, lines);
        return lines;
    }
};

TEST_F(DispatchTest, RefusedRequestsGetTheirStatusOnly) {
    struct Case {
        const char* label;
        std::vector<std::string> lines;
        const char* reply;
    } cases[] = {
        {"no lines", {}, "HTTP/1.0 599 No request\r\n\r\n"},
        {"post", {"POST /x HTTP/1.0"}, "HTTP/1.0 599 POST method not supported\r\n\r\n"},
        {"post lower case", {"post /x HTTP/1.0"}, "HTTP/1.0 599 POST method not supported\r\n\r\n"},
        {"put", {"PUT /x HTTP/1.0"}, "HTTP/1.0 599 Unrecognized method request\r\n\r\n"},
        {"blank line", {" \t "}, "HTTP/1.0 599 Unrecognized method request\r\n\r\n"},
        {"prefix of GET", {"GE /x"}, "HTTP/1.0 599 Unrecognized method request\r\n\r\n"},
        {"NUL ends the line",
         {std::string("GE\0T /x", 7)},
         "HTTP/1.0 599 Unrecognized method request\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Handle(c.lines), c.reply);
    }
}

TEST_F(DispatchTest, PathWalkIgnoresCaseAndDecodesEscapes) {
    struct Case {
        const char* label;
        std::string line;
        const char* reply;  // null: the 404 page
    } cases[] = {
        {"lower case request", "get /docs/readme.txt http/1.0", "node:ReadMe.txt type:"},
        {"root", "GET / HTTP/1.0", "node: type:"},
        {"no path", "GET", "node: type:"},
        {"escaped space", "GET /a%20b HTTP/1.0", "node:a b type:"},
        {"escaped slash", "GET /docs%2Freadme.txt HTTP/1.0", "node:ReadMe.txt type:"},
        {"lower-case escape", "GET /docs%2freadme.txt HTTP/1.0", "node:ReadMe.txt type:"},
        {"empty segments", "GET ///docs//readme.txt/ HTTP/1.0", "node:ReadMe.txt type:"},
        {"tab separates", "GET\t/x\tHTTP/1.0", "node:x type:"},
        {"missing", "GET /nothing HTTP/1.0", nullptr},
        {"below a file", "GET /x/y HTTP/1.0", nullptr},
        {"dot dot", "GET /docs/../../etc/passwd HTTP/1.0", nullptr},
        {"escaped dot dot", "GET /%2E%2E/%2e%2e/etc HTTP/1.0", nullptr},
        {"NUL escape", "GET /x%00 HTTP/1.0", nullptr},
        {"raw NUL ends the line", std::string("GET /x\0/nothing", 16), "node:x type:"},
        {"backslash", "GET /docs\\readme.txt HTTP/1.0", nullptr},
        {"many slashes", "GET " + std::string(30000, '/') + " HTTP/1.0", "node: type:"},
        {"many segments", "GET " + std::string(10000, 'x') + "/x HTTP/1.0", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Handle({c.line}), c.reply ? c.reply : k404);
    }
}

TEST_F(DispatchTest, QueryOverridesNodeOptionsForThisRequestOnly) {
    EXPECT_EQ(Handle({"GET /x?type=text/plain HTTP/1.0"}), "node:x type:TEXT/PLAIN");
    EXPECT_EQ(Handle({"GET /x HTTP/1.0"}), "node:x type:");
}

TEST_F(DispatchTest, OnlyAdminClientsChangeProcessWideValues) {
    g_state.m_admins.Add("192.0.2.0/24, ::1");
    // Anyone else is served as usual, and changes nothing for the next client.
    for (const char* peer : {static_cast<const char*>(nullptr), "192.0.3.1", "10.0.0.1"}) {
        SCOPED_TRACE(peer ? peer : "no address");
        EXPECT_EQ(Handle({"GET /x?delay=40&hostname=evil.example&type%20x=a/b HTTP/1.0"}, peer),
                  "node:x type:");
    }
    EXPECT_EQ(g_state.GetDelay(), 0);
    EXPECT_EQ(g_state.GetHostName(), "");
    EXPECT_EQ(g_state.TypeCount(), 0);
    // An admin's query does, even for a refused request, and once per request.
    Handle({"POST /x?delay=40&hostname=ok.example&type%20x=a/b HTTP/1.0"}, "192.0.2.9");
    EXPECT_EQ(g_state.GetDelay(), 40);
    EXPECT_EQ(g_state.GetHostName(), "OK.EXAMPLE");
    EXPECT_EQ(g_state.TypeCount(), 1);
    Handle({"GET /nothing?delay=90000 HTTP/1.0"}, "192.0.2.9");
    EXPECT_EQ(g_state.GetDelay(), 5000);
}

TEST_F(DispatchTest, CartKeywordsAnswerOnAnyPath) {
    std::string show = Handle({"GET /docs/readme.txt?show HTTP/1.0"});
    EXPECT_EQ(show.rfind("HTTP/1.0 200 Document follows\r\n", 0), 0u);
    EXPECT_NE(show.find("<TITLE>Shopping Cart</TITLE>"), std::string::npos);
    EXPECT_EQ(g_state.CartSnapshot()[0].m_item, nullptr);
    Handle({"GET /a%20b?item=2&quantity=3&add HTTP/1.0"});
    EXPECT_NE(g_state.CartSnapshot()[0].m_item, nullptr);
    EXPECT_EQ(g_state.CartSnapshot()[0].m_quantity, 3);
}

TEST_F(DispatchTest, HeadHasTheEffectsAndHeaderOfGetButNoBody) {
    std::string get = Handle({"GET /?show HTTP/1.0"});
    std::string head = Handle({"HEAD /?item=1&add HTTP/1.0"});
    std::size_t end = get.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(head, get.substr(0, end + 4));
    EXPECT_NE(g_state.CartSnapshot()[0].m_item, nullptr);
}

TEST_F(DispatchTest, ReadRequestSplitsAndBoundsTheHead) {
    std::string longLine(1500, 'h');
    struct Case {
        const char* label;
        std::string input;
        std::vector<std::string> lines;
    } cases[] = {
        {"request and header", "GET / HTTP/1.0\r\nA: b\r\n\r\nbody", {"GET / HTTP/1.0", "A: b"}},
        {"bare line feeds", "GET / HTTP/1.0\nA: b\n\n", {"GET / HTTP/1.0", "A: b"}},
        {"empty line first", "\r\nGET /\r\n\r\n", {}},
        // Without a version the request line is the whole request; what follows is not read.
        {"no version", "GET /\r\nA: b\r\n\r\n", {"GET /"}},
        {"no version, query only", "GET /?x y\nA: b\n\n", {"GET /?x y"}},
        {"nothing", "", {}},
        {"end without blank line", "GET / http/1.0\r\nA: b", {"GET / http/1.0", "A: b"}},
        {"long line in pieces",
         longLine + "\r\n\r\n",
         {longLine.substr(0, 999), longLine.substr(999)}},
        {"line exactly one piece long",
         std::string(999, 'a') + "\nB: c\r\n\r\n",
         {std::string(999, 'a'), "B: c"}},
        {"CR fills the piece",
         std::string(998, 'a') + "\r\nB: c\r\n\r\n",
         {std::string(998, 'a'), "B: c"}},
        {"full piece then blank line",
         std::string(999, 'a') + "\r\n\r\nB: c",
         {std::string(999, 'a')}},
        {"NUL kept", std::string("GET /\0x\r\n\r\n", 10), {std::string("GET /\0x", 7)}},
        {"lone CR stays", "GET /\rX\r\n\r\n", {"GET /\rX"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Read(c.input), c.lines);
    }

    std::string many = "GET / HTTP/1.0\r\n";
    for (int i = 0; i < 3000; ++i)
        many += "X: y\r\n";
    EXPECT_EQ(Read(many).size(), kMaxRequestLines);
    std::vector<std::string> huge = Read(std::string(1 << 20, 'a'));
    std::size_t bytes = 0;
    for (const std::string& line : huge)
        bytes += line.size();
    EXPECT_GE(bytes, kMaxRequestBytes - kMaxRequestLine);
    EXPECT_LE(bytes, kMaxRequestBytes + kMaxRequestLine);
}

}  // namespace
