// Mail archive pages rendered into memory: escaping of outside text at every output point,
// row cuts, body reading at the record's offset, and pages rendered while mail arrives.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "server/FolderNode.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "TempTree.h"
#include "mail/MailboxNode.h"
#include "mail/MessageNode.h"

namespace {

namespace fs = std::filesystem;

// A tree "/topics/box/" over a spool file in a fresh temporary directory.
class MailPages : public ::testing::Test {
  protected:
    void SetUp() override {
        g_state.ResetForTests();
        ASSERT_FALSE(m_dir.empty());
        m_spool = m_dir / "mailbox";
    }
    void TearDown() override {
        m_root.reset();
        g_state.ResetForTests();
    }

    void WriteSpool(const std::string& text, std::ios::openmode mode = std::ios::trunc) {
        std::ofstream out(m_spool, std::ios::binary | std::ios::out | mode);
        out << text;
    }

    CMailboxNode& Load(const std::string& spool) {
        WriteSpool(spool);
        m_root = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "");
        auto topics = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "topics");
        auto box = std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, "box", m_spool.string());
        auto options = std::make_shared<COptions>();
        options->m_tail = "TAIL";
        box->m_options = options;
        m_box = box.get();
        CFolderNode* topicsNode = topics.get();
        topicsNode->AddChild(std::move(box));
        m_root->AddChild(std::move(topics));
        m_box->ReadSpool(0);
        return *m_box;
    }

    // The reply of `node` to a request with the query `query` applied.
    std::string Render(CNode& node, const std::string& query = "") {
        COptions options;
        options.ParseOptions(query);
        CSocketStream out;
        out.OpenMemory("");
        out.m_options = &options;
        node.Reply(out);
        std::string reply = out.TakeOutput();
        const std::size_t body = reply.find("\r\n\r\n");
        return body == std::string::npos ? reply : reply.substr(body + 4);
    }

    CMessageNode& Message(int number) {
        CMessageNode* message = m_box->MessageByNumber(number);
        EXPECT_NE(message, nullptr);
        return *message;
    }

    CTempTree m_tree;
    const fs::path& m_dir = m_tree.Path();
    fs::path m_spool;
    std::unique_ptr<CFolderNode> m_root;
    CMailboxNode* m_box = nullptr;
};

std::string Mail(const std::string& from, const std::string& subject, const std::string& date,
                 const std::string& body, const std::string& extra = "") {
    return "From ???@??? Mon Jan 09 10:11:12 1995\nFrom: " + from + "\nSubject: " + subject +
           "\nDate: " + date + "\n" + extra + "\n" + body;
}

std::size_t Count(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (std::size_t p = text.find(piece); p != std::string::npos; p = text.find(piece, p + 1))
        ++n;
    return n;
}

}  // namespace

TEST_F(MailPages, OutsideTextIsEscapedWhereverItIsWritten) {
    Load(Mail("Mal <mal@host.org>", "<script>x</script> & more", "Mon, <9 Jan 1995 10:11:12 -0800",
              "hi\n"));
    m_box->m_label = "The <list>";
    // The spool reader never keeps a "<" in a name; a record may still hold one.
    Message(0).m_fromName = "Mal <b>Lory</b>";

    const std::string index = Render(*m_box);
    EXPECT_NE(index.find("<TITLE>Mailbox The &lt;list></TITLE>"), std::string::npos);
    EXPECT_NE(index.find(">Mal &lt;b>Lory&lt;/b></a>"), std::string::npos) << index;
    EXPECT_NE(index.find(">&lt;script>x&lt;/script> & more</a>"), std::string::npos);
    EXPECT_NE(index.find(">01/&lt;9/95 10:11</a>"), std::string::npos) << index;

    const std::string page = Render(Message(0), "SORT=<i>");
    EXPECT_NE(page.find("<TITLE>Msg:&lt;script>x&lt;/script> & more</TITLE>"), std::string::npos);
    EXPECT_NE(page.find("<A href=mailto:mal@host.org><I>Mal &lt;b>Lory&lt;/b></A>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("<I>Mon, &lt;9 Jan 1995 10:11:12 -0800</TD>"), std::string::npos);
    EXPECT_NE(page.find("<h3>Messages sorted by &lt;i></h3>"), std::string::npos);
    EXPECT_NE(page.find("#TOP?SORT=&lt;i&gt;&TOPOFLIST=0>"), std::string::npos) << page;
    EXPECT_EQ(Count(page, "<i>"), 0u);
    EXPECT_EQ(Count(page, "<script>"), 0u);
}

// A form feed is the one blank the request line lets into a query value; in the unquoted
// links of both pages it would start an attribute of its own.
TEST_F(MailPages, SortValueCannotAddAttributesToLinks) {
    Load(Mail("Ann <ann@host.org>", "s", "Mon, 9 Jan 1995 10:11:12 -0800", "hi\n"));
    const std::string query = "SORT=X\fSTYLE=Y";
    for (CNode* node : {static_cast<CNode*>(m_box), static_cast<CNode*>(&Message(0))}) {
        SCOPED_TRACE(node == m_box ? "index" : "message page");
        const std::string page = Render(*node, query);
        EXPECT_NE(page.find("?SORT=X%0CSTYLE=Y&TOPOFLIST=0>"), std::string::npos) << page;
        for (std::size_t open = page.find('<'); open != std::string::npos;
             open = page.find('<', open + 1)) {
            const std::string tag = page.substr(open, page.find('>', open) - open);
            EXPECT_EQ(tag.find('\f'), std::string::npos) << tag;
        }
    }
}

// A control byte inside an address or a URL ends it: nothing after it lands in an attribute.
TEST_F(MailPages, ControlBytesCannotAddAttributes) {
    for (const char* control : {"\t", "\f", "\r"}) {
        SCOPED_TRACE(static_cast<int>(control[0]));
        const std::string c = control;
        Load(Mail("Eve <eve@host.org" + c + "onmouseover=alert(1)>", "s", "Mon, 9 Jan 1995",
                  "see http://a.org/" + c +
                      "onclick=alert(2) now\n"
                      "mail eve@host.org" +
                      c + "style=x\n"));
        const std::string page = Render(Message(0));
        EXPECT_EQ(page.find("onmouseover=alert(1)>"), std::string::npos) << page;
        EXPECT_NE(page.find("<A HREF=http://a.org/>http://a.org/</A>" + c + "onclick=alert(2)"),
                  std::string::npos)
            << page;
        EXPECT_NE(page.find("<a href=mailto:eve@host.org>eve@host.org</a>" + c + "style=x"),
                  std::string::npos);
        // Inside every tag the page writes, no control byte and no quote.
        for (std::size_t open = page.find('<'); open != std::string::npos;
             open = page.find('<', open + 1)) {
            const std::string tag = page.substr(open, page.find('>', open) - open);
            EXPECT_EQ(tag.find_first_of("\t\f\r\""), std::string::npos) << tag;
        }
    }
}

TEST_F(MailPages, RowTextsAreCutAfterEscaping) {
    struct Case {
        const char* label;
        std::string name;
        std::string subject;
        std::string shownName;
        std::string shownSubject;
    } cases[] = {
        {"at the limits", std::string(30, 'n'), std::string(50, 's'), std::string(30, 'n'),
         std::string(50, 's')},
        {"one past", std::string(31, 'n'), std::string(51, 's'), std::string(24, 'n') + "...",
         std::string(47, 's') + "..."},
        {"escapes count", std::string(27, 'n') + "<", std::string(48, 's') + "<",
         std::string(24, 'n') + "...", std::string(47, 's') + "..."},
        {"short with escapes", "<", "a<b", "&lt;", "a&lt;b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Load(Mail("x@host.org", "s", "Mon, 9 Jan 1995 10:11:12", "b\n"));
        Message(0).m_fromName = c.name;
        Message(0).m_subject = c.subject;
        const std::string index = Render(*m_box);
        EXPECT_NE(index.find("?TOPOFLIST=0>" + c.shownName + "</a>"), std::string::npos) << index;
        EXPECT_NE(index.find("?TOPOFLIST=0>" + c.shownSubject + "</a>"), std::string::npos);
    }
}

TEST_F(MailPages, BodyIsReadFromTheRecordOffsetToTheNextSeparator) {
    const std::string piece(999, 'p');
    Load(Mail("a@host.org", "first", "Mon, 9 Jan 1995", "one\r\ntwo\r\n") +
         Mail("b@host.org", "second", "Mon, 9 Jan 1995",
              piece + "\n" + piece + "rest\n" + "x\r\n> quoted\nFrom the start\n") +
         Mail("c@host.org", "third", "Mon, 9 Jan 1995", "last line without end"));

    const std::string first = Render(Message(0));
    EXPECT_NE(first.find("</Table>\r\n<br>\r\none<br>\r\ntwo<br>\r\n<HR>\r\nTAIL\r\n</BODY>\r\n"),
              std::string::npos)
        << first;

    // A line of 999 bytes is followed by an empty piece; a longer one goes on in the next.
    // "From the start" ends the body although it is no header at all.
    const std::string second = Render(Message(1));
    EXPECT_NE(second.find("</Table>\r\n<br>\r\n" + piece + "<br>\r\n<br>\r\n" + piece +
                          "<br>\r\nrest<br>\r\nx<br>\r\n<i> quoted</i><br>\r\n<HR>\r\n"),
              std::string::npos)
        << second;
    EXPECT_EQ(Message(2).m_subject, "third");
    const std::string third = Render(Message(2));
    EXPECT_NE(third.find("<br>\r\nlast line without end<br>\r\n<HR>"), std::string::npos);
}

// A piece that ends with CR loses it, whether the line end follows or not: at the end of the
// spool, and where a long line is cut just after a CR.
TEST_F(MailPages, CarriageReturnEndingAPieceIsDropped) {
    const std::string cut(998, 'p');
    struct Case {
        const char* label;
        std::string body;
        std::string shown;
    } cases[] = {
        {"last line of the spool", "end\r", "<br>\r\nend<br>\r\n<HR>"},
        {"cut after a CR", cut + "\rrest\n", "<br>\r\n" + cut + "<br>\r\nrest<br>\r\n<HR>"},
        {"CR inside a line stays", "a\rb\n", "<br>\r\na\rb<br>\r\n<HR>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Load(Mail("a@host.org", "s", "Mon, 9 Jan 1995", c.body));
        const std::string page = Render(Message(0));
        EXPECT_NE(page.find("</Table>\r\n" + c.shown), std::string::npos) << page;
    }
}

TEST_F(MailPages, EmptyMailboxListsNoRow) {
    Load("");
    const std::string index = Render(*m_box);
    EXPECT_NE(index.find("Date</a><BR></TABLE><HR>\r\nTAIL\r\n"), std::string::npos) << index;
    EXPECT_EQ(Count(index, "<TR>"), 0u);
}

TEST_F(MailPages, LongListsKeepTheirOrderAcrossBatches) {
    std::string spool;
    constexpr int kMessages = 1300;  // more than two batches of rows
    for (int i = 0; i < kMessages; ++i) {
        char date[64];
        std::snprintf(date, sizeof date, "Mon, %d Jan 1995 %02d:%02d:00", 1 + i % 28, i / 60 % 24,
                      i % 60);
        spool += Mail("n" + std::to_string(i % 97) + " <x@host.org>", "s" + std::to_string(i), date,
                      "b\n");
    }
    Load(spool);
    for (const char* sort : {"", "SORT=DATE", "SORT=FROM", "SORT=SUBJECT", "SORT=OTHER"}) {
        SCOPED_TRACE(sort);
        const std::string index = Render(*m_box, sort);
        EXPECT_EQ(Count(index, "<TR><TD Width=25>"), static_cast<std::size_t>(kMessages));
        // Rows in the order of the list the mailbox keeps.
        const CMessageNode* expected = std::string(sort) == "SORT=DATE"   ? m_box->FirstByDate()
                                       : std::string(sort) == "SORT=FROM" ? m_box->FirstByName()
                                       : std::string(sort) == "SORT=SUBJECT"
                                           ? m_box->FirstBySubject()
                                           : m_box->Newest();
        std::size_t at = 0;
        for (int n = 0; n < kMessages && expected; ++n) {
            const std::string link = "/topics/box/" + std::to_string(expected->m_number) + "?";
            at = index.find("<TR><TD Width=25><a href=" + link, at);
            ASSERT_NE(at, std::string::npos) << "row " << n;
            const std::string s(sort);
            expected = s == "SORT=DATE"      ? expected->NextByDate()
                       : s == "SORT=FROM"    ? expected->NextByName()
                       : s == "SORT=SUBJECT" ? expected->NextBySubject()
                                             : static_cast<const CMessageNode*>(expected->m_next);
        }
    }
}

// Deliveries go on while pages are rendered: every page is whole, and lists only grow.
TEST_F(MailPages, PagesRenderWhileMailArrives) {
    Load(Mail("a@host.org", "topic", "Mon, 9 Jan 1995 10:00", "b\n"));
    CMessageNode& first = Message(0);
    constexpr int kDeliveries = 200;
    std::atomic<bool> done{false};
    std::thread store([&] {
        for (int i = 1; i <= kDeliveries; ++i) {
            WriteSpool(Mail("b@host.org", i % 2 ? "Re: topic" : "other", "Tue, 10 Jan 1995 10:00",
                            "reply " + std::to_string(i) + "\n"),
                       std::ios::app);
            m_box->ReadNewMail();
        }
        done = true;
    });
    std::size_t lastRows = 0;
    int rendered = 0;
    while (!done || rendered < 5) {
        const char* sort = rendered % 2 ? "SORT=DATE" : "SORT=OTHER";
        const std::string index = Render(*m_box, sort);
        ASSERT_TRUE(index.ends_with("</BODY>\r\n"));
        const std::size_t rows = Count(index, "<TR><TD Width=25>");
        EXPECT_GE(rows, lastRows);
        lastRows = rows;
        const std::string page = Render(first, "EXPAND=0");
        ASSERT_TRUE(page.ends_with("</BODY>\r\n")) << page;
        ++rendered;
    }
    store.join();
    EXPECT_EQ(Count(Render(*m_box, "SORT=DATE"), "<TR><TD Width=25>"),
              static_cast<std::size_t>(kDeliveries + 1));
}
