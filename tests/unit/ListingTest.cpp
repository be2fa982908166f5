// The HTML listing of a folder: the whole page, icon choice, name and size cells, the "New!"
// window, index files, and 64-bit sizes, rendered from trees scanned out of temp directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "server/FolderNode.h"
#include "TempTree.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

namespace fs = std::filesystem;

namespace {

constexpr std::time_t kDay = 24 * 60 * 60;
constexpr std::time_t kOld = 1000000000;  // 2001-09-09, far outside the "New!" window

// "%c" in the C locale: "Sun Sep  9 01:46:40 2001".
const char* const kTimePattern = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-3][0-9] \d\d:\d\d:\d\d \d{4})";

class ListingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_state.ResetForTests();
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override { g_state.ResetForTests(); }

    // Writes `size` bytes (sparse beyond the first few) and sets the modification time.
    void File(const std::string& relative, std::int64_t size = 0, std::time_t modified = kOld) {
        fs::path path = m_dir / relative;
        fs::create_directories(path.parent_path());
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(::ftruncate(fd, size), 0) << path;
        ::close(fd);
        Touch(relative, modified);
    }
    void Text(const std::string& relative, const std::string& text, std::time_t modified = kOld) {
        m_tree.Write(relative, text);
        Touch(relative, modified);
    }
    void Folder(const std::string& relative, std::time_t modified = kOld) {
        fs::create_directories(m_dir / relative);
        Touch(relative, modified);
    }
    void Touch(const std::string& relative, std::time_t modified) {
        struct timespec times[2] = {{modified, 0}, {modified, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (m_dir / relative).c_str(), times, 0), 0) << relative;
    }

    // Scans the temp tree as the server's root would be.
    CFolderNode& Scan() {
        g_state.m_root = std::make_unique<CFolderNode>(m_dir.string());
        return *g_state.m_root;
    }

    // The reply of `node` to a request carrying `query`.
    static std::string Render(CNode& node, const std::string& query = "") {
        COptions options = node.Options();
        options.ParseOptions(query);
        CSocketStream out;
        out.OpenMemory("");
        out.m_options = &options;
        node.Reply(out);
        return out.TakeOutput();
    }

    // The page body after the header block, with every date cell written as DATE.
    static std::string Body(const std::string& reply) {
        std::size_t end = reply.find("\r\n\r\n");
        std::string body = end == std::string::npos ? reply : reply.substr(end + 4);
        return std::regex_replace(
            body, std::regex(std::string("<TD ALIGN=RIGHT>") + kTimePattern + "</TD>"),
            "<TD ALIGN=RIGHT>DATE</TD>");
    }

    // The row of the child called `name` ("<TR>" .. "</TR>"), empty when there is none.
    static std::string Row(const std::string& page, const std::string& name) {
        std::size_t link = page.find("\">" + name + "</A>");
        if (link == std::string::npos) return {};
        std::size_t begin = page.rfind("<TR>", link);
        std::size_t end = page.find("</TR>", link);
        return page.substr(begin, end + 5 - begin);
    }

    CTempTree m_tree;
    const fs::path& m_dir = m_tree.Path();
};

}  // namespace

TEST_F(ListingTest, WholePageWithoutIconsFolder) {
    Text("vantrel.cfg", "title=Old <and> new things\nhead=<P>Welcome</P>\ntail=<I>bye</I>\n");
    Text("b.txt", "hello");
    File("a.gif", 1234567);
    Folder("Sub");
    Text("Sub/x.html", "<P>x</P>");
    Touch("Sub", kOld);
    Folder("Empty");
    CFolderNode& root = Scan();

    std::string reply = Render(root);
    std::string header = reply.substr(0, reply.find("\r\n\r\n") + 4);
    EXPECT_TRUE(std::regex_match(header, std::regex("HTTP/1\\.0 200 Document follows\r\n"
                                                    "Server: [^\r\n]+\r\n"
                                                    "Last-Modified: [^\r\n]+ GMT\r\n"
                                                    "Content-type: text/html\r\n\r\n")))
        << header;
    EXPECT_EQ(
        Body(reply),
        "<HEAD><TITLE>Old &lt;and> new things</TITLE></HEAD>\r\n"
        "<BODY>\r\n"
        "<H2>Old &lt;and> new things</H2>\r\n"
        "<HR><TABLE WIDTH=100%><TR><TD ALIGN=RIGHT><A HREF=\"/?SCENE\">[VRML]VRML"
        "</A></TD></TR></TABLE><BR><HR>\r\n"
        "<P>Welcome</P>\r\n"
        "<PRE><TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0>\r\n"
        "<TR><TD></TD><TD WIDTH=40%><A HREF=\"/Sub/\">Sub</A>" +
            std::string(37, ' ') +
            "</TD><TD ALIGN=RIGHT>         8  </TD><TD ALIGN=RIGHT>DATE</TD><TD></TD><BR></TR>"
            "<TR><TD></TD><TD WIDTH=40%><A HREF=\"/a.gif\">a.gif</A>" +
            std::string(35, ' ') +
            "</TD><TD ALIGN=RIGHT>   1234567  </TD><TD ALIGN=RIGHT>DATE</TD><TD></TD><BR></TR>"
            "<TR><TD></TD><TD WIDTH=40%><A HREF=\"/b.txt\">b.txt</A>" +
            std::string(35, ' ') +
            "</TD><TD ALIGN=RIGHT>         5  </TD><TD ALIGN=RIGHT>DATE</TD><TD></TD><BR></TR>"
            "<TR><TD></TD><TD WIDTH=40%><A HREF=\"/Empty\">Empty</A>" +
            std::string(35, ' ') +
            "</TD><TD ALIGN=RIGHT>         0  </TD><TD ALIGN=RIGHT>DATE</TD><TD></TD><BR></TR>"
            "</TABLE></PRE><HR>\r\n"
            "<I>bye</I>\r\n"
            "</BODY>\r\n");
}

TEST_F(ListingTest, SubfolderHasUpLinkAndDefaultCaption) {
    Folder("Docs");
    Text("Docs/readme.txt", "read me");
    CFolderNode& root = Scan();
    CNode* docs = root.FindChild("docs");
    ASSERT_NE(docs, nullptr);

    std::string body = Body(Render(*docs));
    EXPECT_EQ(
        body.substr(0, body.find("<PRE>")),
        "<HEAD><TITLE>Directory listing for: Docs</TITLE></HEAD>\r\n"
        "<BODY>\r\n"
        "<H2>Directory listing for: Docs</H2>\r\n"
        "<HR><TABLE WIDTH=100%><TR><TD><A HREF=\"/\">[UP]</A></TD>"
        "<TD ALIGN=RIGHT><A HREF=\"/Docs/?SCENE\">[VRML]VRML</A></TD></TR></TABLE><BR><HR>\r\n"
        "\r\n");
}

TEST_F(ListingTest, DateCellIsTheLocalTimeInTheCLocaleForm) {
    File("old.txt", 1, kOld);
    std::string reply = Render(Scan());
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        reply, match, std::regex(std::string("<TD ALIGN=RIGHT>(") + kTimePattern + ")</TD>")))
        << reply;
    // Whatever the zone, 1000000000 is a September 2001 day.
    EXPECT_NE(match[1].str().find("Sep"), std::string::npos) << match[1];
    EXPECT_EQ(match[1].str().substr(20), "2001");
}

TEST_F(ListingTest, IconChoicePerRowWithIconsFolder) {
    Text("icons/vantrel.cfg", "icons\n");
    for (const char* icon : {"up.gif", "vrml.gif", "new.gif", "scene.gif", "topic.gif", "txt.gif",
                             "Folder.gif", "Default.gif"}) {
        File(std::string("icons/") + icon, 10);
    }
    Text("World/vantrel.cfg", "scene\ntopics\n");  // scene wins over topics
    Text("World/a.wrl", "x");
    Text("Talk/vantrel.cfg", "topics\n");
    Text("Talk/general/note.txt", "x");
    Folder("Plain");
    Text("Plain/y.txt", "y");
    Text("notes.TXT", "x");
    Text("data.bin", "x");
    Text("fresh.txt", "x", std::time(nullptr) - kDay);
    CFolderNode& root = Scan();
    ASSERT_NE(g_state.m_iconsFolder, nullptr);

    std::string page = Body(Render(root));
    EXPECT_NE(page.find("<HR><TABLE WIDTH=100%><TR><TD ALIGN=RIGHT><A HREF=\"/?SCENE\">[VRML]"
                        "<IMG SRC=\"/icons/vrml.gif\"></A></TD></TR></TABLE><BR><HR>\r\n"),
              std::string::npos)
        << page;
    struct Case {
        const char* name;
        const char* icon;
    };
    for (const Case& c :
         {Case{"World", "scene.gif"}, Case{"Talk", "topic.gif"}, Case{"Plain", "Folder.gif"},
          Case{"icons", "Folder.gif"}, Case{"notes.TXT", "txt.gif"},
          Case{"data.bin", "Default.gif"}, Case{"fresh.txt", "txt.gif"}}) {
        SCOPED_TRACE(c.name);
        std::string row = Row(page, c.name);
        ASSERT_FALSE(row.empty());
        EXPECT_EQ(row.substr(0, row.find("</TD>")),
                  std::string("<TR><TD><IMG SRC=\"/icons/") + c.icon + "\">");
    }
    std::string fresh = Row(page, "fresh.txt");
    EXPECT_NE(fresh.find("<TD><IMG SRC=\"/icons/new.gif\"></TD><BR></TR>"), std::string::npos)
        << fresh;
    EXPECT_EQ(fresh.find("New!"), std::string::npos);

    CNode* plain = root.FindChild("Plain");
    ASSERT_NE(plain, nullptr);
    EXPECT_NE(
        Render(*plain).find("<TD><A HREF=\"/\"><IMG BORDER=0 SRC=\"/icons/up.gif\">[UP]</A></TD>"),
        std::string::npos);
}

TEST_F(ListingTest, IconsFolderWithoutThePicturesFallsBackToText) {
    Text("icons/vantrel.cfg", "icons\n");
    File("icons/readme.txt", 3);
    Folder("Sub");
    Text("Sub/page.html", "x", std::time(nullptr) - kDay);
    CFolderNode& root = Scan();
    CNode* sub = root.FindChild("Sub");
    ASSERT_NE(sub, nullptr);

    std::string page = Body(Render(*sub));
    EXPECT_NE(page.find("<TR><TD><A HREF=\"/\">[UP]</A></TD><TD ALIGN=RIGHT><A "
                        "HREF=\"/Sub/?SCENE\">[VRML]VRML</A>"),
              std::string::npos)
        << page;
    std::string row = Row(page, "page.html");
    EXPECT_EQ(row.substr(0, 17), "<TR><TD></TD><TD ");
    EXPECT_NE(row.find("<TD>New!</TD><BR></TR>"), std::string::npos) << row;

    // With only the generic picture, every row falls back to it.
    File("icons/Default.gif", 3);
    g_state.ResetForTests();
    CNode* subAgain = Scan().FindChild("Sub");
    ASSERT_NE(subAgain, nullptr);
    std::string withDefault = Body(Render(*subAgain));
    EXPECT_NE(Row(withDefault, "page.html").find("<TD><IMG SRC=\"/icons/Default.gif\"></TD>"),
              std::string::npos);
}

TEST_F(ListingTest, NewMarkerOnlyInsideTheTenDayWindow) {
    const std::time_t now = std::time(nullptr);
    struct Case {
        const char* name;
        std::time_t modified;
        bool isNew;
    };
    const Case cases[] = {{"nine-days.txt", now - 9 * kDay, true},
                          {"eleven-days.txt", now - 11 * kDay, false},
                          // The page is rendered after this, so the threshold has reached it.
                          {"ten-days.txt", now - 10 * kDay, false},
                          {"future.txt", now + kDay, true}};
    for (const Case& c : cases)
        File(c.name, 1, c.modified);
    std::string page = Body(Render(Scan()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string row = Row(page, c.name);
        ASSERT_FALSE(row.empty());
        EXPECT_EQ(row.ends_with("<TD>New!</TD><BR></TR>"), c.isNew) << row;
        EXPECT_EQ(row.ends_with("<TD></TD><BR></TR>"), !c.isNew) << row;
    }
}

TEST_F(ListingTest, NameCellCutsAtFortyBytesThenEscapes) {
    const std::string longName(45, 'n');
    File(longName);
    File("a<b.txt");
    File(std::string(38, 'x') + "<<z");  // 41 bytes: the cut falls after both "<"
    std::string page = Body(Render(Scan()));

    std::string row = Row(page, longName.substr(0, 40));
    ASSERT_FALSE(row.empty()) << page;
    EXPECT_NE(row.find("\">" + longName.substr(0, 40) + "</A></TD>"), std::string::npos) << row;
    EXPECT_NE(row.find("/" + longName + "\">"), std::string::npos)
        << "the link keeps the whole name";

    row = Row(page, "a&lt;b.txt");
    ASSERT_FALSE(row.empty()) << page;
    EXPECT_NE(row.find("a&lt;b.txt</A>" + std::string(33, ' ') + "</TD>"), std::string::npos)
        << row;

    row = Row(page, std::string(38, 'x') + "&lt;&lt;");
    ASSERT_FALSE(row.empty()) << page;
    EXPECT_NE(row.find("&lt;&lt;</A></TD>"), std::string::npos) << row;
}

TEST_F(ListingTest, SizesAreSixtyFourBit) {
    const std::int64_t threeGiB = std::int64_t{3} << 30;
    File("big.iso", threeGiB);
    File("Disks/one.img", std::int64_t{3} << 29);
    File("Disks/two.img", std::int64_t{3} << 29);
    File("Disks/three.img", std::int64_t{1} << 30);
    File("small.txt", 12);
    std::string page = Body(Render(Scan()));

    EXPECT_NE(Row(page, "big.iso").find("<TD ALIGN=RIGHT>3221225472  </TD>"), std::string::npos)
        << page;
    EXPECT_NE(Row(page, "Disks").find("<TD ALIGN=RIGHT>4294967296  </TD>"), std::string::npos)
        << page;
    EXPECT_NE(Row(page, "small.txt").find("<TD ALIGN=RIGHT>        12  </TD>"), std::string::npos)
        << page;
}

TEST_F(ListingTest, IndexFileUnlessTheListingIsAskedForAndAllowed) {
    Text("Site/index.html", "<P>the index</P>");
    Text("Site/other.txt", "x");
    Text("Locked/vantrel.cfg", "noindex\n");
    Text("Locked/index.htm", "<P>locked index</P>");
    Text("Plain/other.txt", "x");
    CFolderNode& root = Scan();
    g_state.AddType("html", "text/html");
    g_state.AddType("htm", "text/html");

    struct Case {
        const char* folder;
        const char* query;
        const char* expect;  // a piece of the body only that answer has
    };
    for (const Case& c :
         {Case{"Site", "", "<P>the index</P>"},
          Case{"Site", "index", "Directory listing for: Site"},
          Case{"Site", "noindex", "<P>the index</P>"}, Case{"Locked", "", "<P>locked index</P>"},
          Case{"Locked", "index", "<P>locked index</P>"}, Case{"Plain", "", "Directory listing"},
          Case{"Plain", "noindex", "Directory listing"}}) {
        SCOPED_TRACE(std::string(c.folder) + "?" + c.query);
        CNode* folder = root.FindChild(c.folder);
        ASSERT_NE(folder, nullptr);
        std::string reply = Render(*folder, c.query);
        EXPECT_NE(reply.find(c.expect), std::string::npos) << reply;
        bool isListing = reply.find("<HEAD><TITLE>") != std::string::npos;
        EXPECT_EQ(isListing, std::string(c.expect).starts_with("Directory")) << reply;
        if (!isListing) {
            EXPECT_NE(reply.find("Content-length: "), std::string::npos) << reply;
        }
    }
}

TEST_F(ListingTest, RequestTypeReplacesTheContentTypeAndNullOptionsMeanDefaults) {
    Text("a.txt", "x");
    CFolderNode& root = Scan();
    std::string reply = Render(root, "type=text/plain");
    EXPECT_NE(reply.find("\r\nContent-type: text/plain\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("text/html"), std::string::npos) << reply;

    CSocketStream out;
    out.OpenMemory("");
    root.Reply(out);
    std::string plain = out.TakeOutput();
    EXPECT_NE(plain.find("Content-type: text/html\r\n"), std::string::npos);
    EXPECT_EQ(Body(plain), Body(Render(root)));
}

TEST_F(ListingTest, EmptyFolderHasATableWithoutRows) {
    std::string page = Body(Render(Scan()));
    EXPECT_NE(
        page.find("<PRE><TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0>\r\n</TABLE></PRE><HR>\r\n"),
        std::string::npos)
        << page;
}
