// The children order, lookups, paths, labels and URLs of the node tree.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "server/FolderNode.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

namespace {

std::unique_ptr<CFolderNode> Folder(std::string name, std::vector<std::string> files = {}) {
    auto folder = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, std::move(name));
    for (auto& file : files) {
        auto node = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, file);
        folder->AddChild(std::move(node));
    }
    return folder;
}

std::unique_ptr<CNode> Leaf(std::string name) {
    return Folder(std::move(name));
}

std::vector<std::string> Names(const CNode& parent) {
    std::vector<std::string> names;
    for (CNode* child = parent.FirstChild(); child; child = child->Next())
        names.push_back(child->m_name);
    return names;
}

std::vector<std::string> NamesBackward(const CNode& parent) {
    std::vector<std::string> names;
    for (CNode* child = parent.m_lastChild; child; child = child->Prev())
        names.insert(names.begin(), child->m_name);
    return names;
}

class NodeTest : public ::testing::Test {
  protected:
    void SetUp() override { g_state.ResetForTests(); }
    void TearDown() override { g_state.ResetForTests(); }
};

}  // namespace

TEST_F(NodeTest, NonEmptyFoldersFirstThenByNameIgnoringCase) {
    const std::vector<std::vector<std::string>> orders = {{"b.txt", "A", "a.txt", "Empty"},
                                                          {"Empty", "a.txt", "A", "b.txt"},
                                                          {"A", "Empty", "b.txt", "a.txt"}};
    for (const auto& order : orders) {
        CFolderNode root(CFolderNode::NoScan{}, "");
        for (const auto& name : order) {
            root.AddChild(name == "A" ? std::unique_ptr<CNode>(Folder("A", {"x"})) : Leaf(name));
        }
        EXPECT_EQ(Names(root), (std::vector<std::string>{"A", "a.txt", "b.txt", "Empty"}));
        EXPECT_EQ(NamesBackward(root), Names(root));
        EXPECT_EQ(root.m_childCount, 4);
    }
}

TEST_F(NodeTest, ComparesUnsignedBytesAfterFoldingOnlyAsciiLetters) {
    CFolderNode root(CFolderNode::NoScan{}, "");
    for (const char* name : {"b", "_a", "Z", "\xC3\xA9", "B1", "["})
        root.AddChild(Leaf(name));
    // "[" (0x5B) and "_" (0x5F) sort before the letters once A-Z are folded; 0xC3 sorts last.
    EXPECT_EQ(Names(root), (std::vector<std::string>{"[", "_a", "b", "B1", "Z", "\xC3\xA9"}));
}

TEST_F(NodeTest, EqualNamesGoBeforeTheExistingOneAndFoldersWinLookups) {
    CFolderNode root(CFolderNode::NoScan{}, "");
    auto first = Leaf("readme");
    CNode* firstPtr = first.get();
    root.AddChild(std::move(first));
    auto second = Leaf("README");
    CNode* secondPtr = second.get();
    root.AddChild(std::move(second));
    EXPECT_EQ(root.FirstChild(), secondPtr);
    EXPECT_EQ(root.FindChild("ReadMe"), secondPtr);
    EXPECT_EQ(secondPtr->Next(), firstPtr);

    auto folder = Folder("readme", {"inside"});
    CNode* folderPtr = folder.get();
    root.AddChild(std::move(folder));
    EXPECT_EQ(root.FindChild("README"), folderPtr);
    EXPECT_EQ(root.FindChild("readme2"), nullptr);
    EXPECT_EQ(root.FindChild(""), nullptr);
}

TEST_F(NodeTest, LargeFolderKeepsOrderAndLookups) {
    CFolderNode root(CFolderNode::NoScan{}, "");
    const int n = 20000;
    for (int i = n - 1; i >= 0; --i)
        root.AddChild(Leaf("f" + std::to_string((i * 7919) % n)));
    std::string previous;
    int count = 0;
    for (CNode* child = root.FirstChild(); child; child = child->Next(), ++count) {
        EXPECT_LE(CompareIgnoringCase(previous, child->m_name), 0);
        previous = child->m_name;
    }
    EXPECT_EQ(count, n);
    EXPECT_NE(root.FindChild("F12345"), nullptr);
}

TEST_F(NodeTest, PathsAndLabels) {
    CFolderNode root(CFolderNode::NoScan{}, "");
    auto docs = Folder("Docs", {"a.txt"});
    CNode* docsPtr = docs.get();
    docs->AddChild(Folder("Empty"));
    root.AddChild(std::move(docs));
    EXPECT_EQ(root.GetPath(), "/");
    EXPECT_EQ(docsPtr->GetPath(), "/Docs/");
    EXPECT_EQ(docsPtr->FindChild("a.txt")->GetPath(), "/Docs/a.txt");
    EXPECT_EQ(docsPtr->FindChild("empty")->GetPath(), "/Docs/Empty");
    EXPECT_EQ(CFolderNode(CFolderNode::NoScan{}, "").GetPath(), "");

    EXPECT_EQ(docsPtr->GetLabel("Directory listing for: "), "Directory listing for: Docs");
    docsPtr->m_label = "Archive";
    EXPECT_EQ(docsPtr->GetLabel("x"), "Archive");
}

TEST_F(NodeTest, UrlsInPagesScenesAndUnderRedirects) {
    CFolderNode root(CFolderNode::NoScan{}, "");
    auto docs = Folder("My Docs", {"a b.txt"});
    CNode* docsPtr = docs.get();
    root.AddChild(std::move(docs));
    CNode* file = docsPtr->FindChild("a b.txt");

    COptions page;
    EXPECT_EQ(NodeUrl(*file, &page), "/My%20Docs/a%20b.txt");
    EXPECT_EQ(NodeUrl(*file, nullptr), "/My%20Docs/a%20b.txt");

    COptions scene("scene");
    g_state.SetHostName("host.example");
    g_state.m_httpPort = 80;
    EXPECT_EQ(NodeUrl(*file, &scene), "http://host.example/My%20Docs/a%20b.txt");
    g_state.m_httpPort = 8080;
    EXPECT_EQ(NodeUrl(*file, &scene), "http://host.example:8080/My%20Docs/a%20b.txt");

    auto redirected = std::make_shared<COptions>();
    redirected->m_redirect = "http://mirror/base/";
    docsPtr->m_options = redirected;
    EXPECT_EQ(NodeUrl(*file, &scene), "http://mirror/base/a%20b.txt");
    EXPECT_EQ(NodeUrl(*docsPtr, &page), "/My%20Docs/");  // the root has no redirect
}

TEST_F(NodeTest, UrlCutsTheRawTextBeforeEscaping) {
    CFolderNode root(CFolderNode::NoScan{}, "");
    std::string longName(998, 'a');
    longName += "  x";  // bytes 998 and 999 are spaces: both escapes stay whole
    auto node = Leaf(longName);
    CNode* nodePtr = node.get();
    root.AddChild(std::move(node));
    std::string url = NodeUrl(*nodePtr, nullptr);
    // Path "/" + name = 1002 raw bytes, cut to 1000: "/" + 998 a + one space.
    EXPECT_EQ(url, "/" + std::string(998, 'a') + "%20");
}

TEST_F(NodeTest, BaseListEntryCutsAt40AndPads) {
    CFolderNode root(CFolderNode::NoScan{}, "");
    root.AddChild(Leaf(std::string(45, 'n')));
    root.AddChild(Leaf("a<b"));
    CSocketStream out;
    out.OpenMemory("");
    root.FindChild(std::string(45, 'n'))->CNode::WriteListEntry(out);
    EXPECT_EQ(out.TakeOutput(),
              "<A HREF=\"/" + std::string(45, 'n') + "\">" + std::string(40, 'n') + "</A>");
    root.FindChild("a<b")->CNode::WriteListEntry(out);
    EXPECT_EQ(out.TakeOutput(), "<A HREF=\"/a%3Cb\">a&lt;b</A>" + std::string(37, ' '));
}
