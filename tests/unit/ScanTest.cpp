// The one-time scan of a directory tree: what is published, which options each folder ends
// up with, the special folders, index files, sizes, and the guards against loops.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "server/FolderNode.h"
#include "TempTree.h"
#include "server/ServerState.h"
#include "platform/DirectoryEnum.h"

namespace fs = std::filesystem;

namespace {

class ScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_state.ResetForTests();
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override {
        m_root.reset();
        g_state.m_makeMailbox = nullptr;
        g_state.ResetForTests();
    }

    void Write(const std::string& relative, const std::string& content) {
        m_tree.Write(relative, content);
    }
    void MakeDir(const std::string& relative) { m_tree.MakeDir(relative); }

    CFolderNode& Scan() {
        m_root = std::make_unique<CFolderNode>(m_dir.string());
        return *m_root;
    }

    static std::vector<std::string> Names(const CNode& folder) {
        std::vector<std::string> names;
        for (CNode* child = folder.FirstChild(); child; child = child->Next()) {
            names.push_back(child->m_name);
        }
        return names;
    }
    static CFolderNode* Sub(const CNode& parent, std::string_view name) {
        return dynamic_cast<CFolderNode*>(parent.FindChild(name));
    }

    CTempTree m_tree;
    const fs::path& m_dir = m_tree.Path();
    std::unique_ptr<CFolderNode> m_root;
};

TEST_F(ScanTest, HiddenEntriesAndConfigFilesAreNotPublished) {
    Write("visible.txt", "v");
    Write(".hidden", "h");
    Write(".svn/entries", "x");
    Write("VANTREL.CFG", "title=Upper\n");  // any case of the name is skipped...
    Write("only/.dotfile", "12345");
    Write("only/vantrel.cfg", "nolabel\n");
    Write("only/.git/config", "x");

    CFolderNode& root = Scan();
    EXPECT_EQ(Names(root), (std::vector<std::string>{"only", "visible.txt"}));
    CFolderNode* only = Sub(root, "only");
    ASSERT_NE(only, nullptr);
    EXPECT_FALSE(only->HasChildren());
    EXPECT_EQ(only->m_size, 0);
    EXPECT_EQ(only->Options().m_showLabels, 0);
    // ...but only the exact lower-case name is read as configuration.
    EXPECT_EQ(root.m_label, "");
}

TEST_F(ScanTest, OptionsAreInheritedButTitleAndPathAreNot) {
    Write("vantrel.cfg", "nolabel\ntype wrl=x-world/x-vrml\n");
    Write("Archive/vantrel.cfg", "title=Old Things\nsort=date\n");
    Write("Archive/Inner/f.txt", "f");

    CFolderNode& root = Scan();
    CFolderNode* archive = Sub(root, "archive");
    ASSERT_NE(archive, nullptr);
    CFolderNode* inner = Sub(*archive, "inner");
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(archive->GetLabel(""), "Old Things");
    EXPECT_EQ(archive->Options().m_title, "");
    EXPECT_EQ(inner->m_label, "");
    EXPECT_EQ(inner->Options().m_sort, "date");
    EXPECT_EQ(inner->Options().m_showLabels, 0);
    EXPECT_EQ(root.m_dirPath, m_dir.string() + "/");
    EXPECT_EQ(inner->m_dirPath, m_dir.string() + "/Archive/Inner/");
    EXPECT_EQ(g_state.LookupType("wrl"), "x-world/x-vrml");
}

TEST_F(ScanTest, PathShowsAnotherDirectoryRelativeToTheFolder) {
    Write("shown/vantrel.cfg", "path=../elsewhere/real\ntitle=Shown\n");
    Write("shown/own.txt", "not shown");
    Write("elsewhere/real/vantrel.cfg", "sort=subject\n");
    Write("elsewhere/real/a.txt", "aaa");
    Write("elsewhere/real/deeper/b.txt", "bb");

    // The scan must not depend on the current directory.
    char before[PATH_MAX];
    ASSERT_NE(::getcwd(before, sizeof before), nullptr);
    CFolderNode& root = Scan();
    char after[PATH_MAX];
    ASSERT_NE(::getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(before, after);

    CFolderNode* shown = Sub(root, "shown");
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(Names(*shown), (std::vector<std::string>{"deeper", "a.txt"}));
    EXPECT_EQ(shown->m_dirPath, m_dir.string() + "/elsewhere/real/");
    EXPECT_EQ(shown->Options().m_sort, "subject");  // the target's cfg applies on top
    EXPECT_EQ(shown->m_label, "Shown");
    EXPECT_EQ(shown->Options().m_path, "");
    CFolderNode* deeper = Sub(*shown, "deeper");
    ASSERT_NE(deeper, nullptr);
    EXPECT_EQ(deeper->m_dirPath, m_dir.string() + "/elsewhere/real/deeper/");
    EXPECT_EQ(shown->m_size, 5);
}

TEST_F(ScanTest, PathAndLinkLoopsEnd) {
    Write("b/vantrel.cfg", "path=../a\n");  // b leads back to a
    Write("b/inb.txt", "b");
    Write("a/ina.txt", "a");
    Write("selfish/vantrel.cfg", "path=.\n");
    Write("selfish/s.txt", "s");
    Write("upward/vantrel.cfg", "path=..\n");
    Write("missing/vantrel.cfg", "path=no/such/dir\n");
    Write("missing/m.txt", "m");
    Write("a/vantrel.cfg", "path=../b\n");
    MakeDir("links");
    fs::create_directory_symlink("..", m_dir / "links" / "up");
    fs::create_directory_symlink(".", m_dir / "links" / "self");
    fs::create_directory_symlink("../a", m_dir / "links" / "sideways");
    fs::create_symlink("nowhere", m_dir / "links" / "dangling");

    CFolderNode& root = Scan();
    // a -> b -> back to a: stops in b and shows b's files.
    CFolderNode* a = Sub(root, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Names(*a), (std::vector<std::string>{"inb.txt"}));
    CFolderNode* selfish = Sub(root, "selfish");
    ASSERT_NE(selfish, nullptr);
    EXPECT_EQ(Names(*selfish), (std::vector<std::string>{"s.txt"}));
    CFolderNode* upward = Sub(root, "upward");
    ASSERT_NE(upward, nullptr);
    EXPECT_FALSE(upward->HasChildren());
    CFolderNode* missing = Sub(root, "missing");
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(Names(*missing), (std::vector<std::string>{"m.txt"}));
    // Links back up the tree are not followed; one to a sibling is published.
    CFolderNode* links = Sub(root, "links");
    ASSERT_NE(links, nullptr);
    EXPECT_EQ(Names(*links), (std::vector<std::string>{"sideways"}));
}

TEST_F(ScanTest, SpecialFoldersFirstOneWins) {
    Write("one/vantrel.cfg", "topics\n");
    Write("one/readme.txt", "r");
    Write("one/list/mailbox", "");
    Write("two/vantrel.cfg", "topics\n");
    Write("two/readme.txt", "r");
    Write("models/vantrel.cfg", "models\n");
    Write("models/inner/x.wrl", "x");
    Write("icons/vantrel.cfg", "icons\n");
    Write("icons/a.gif", "g");

    std::vector<std::string> mailboxes;
    g_state.m_makeMailbox = [&](CFolderNode* parent, const CFindData& entry,
                                CScanContext& context) -> std::unique_ptr<CFolderNode> {
        mailboxes.push_back(entry.m_name);
        return std::make_unique<CFolderNode>(parent, entry, context);
    };
    CFolderNode& root = Scan();
    CFolderNode* one = Sub(root, "one");
    CFolderNode* two = Sub(root, "two");
    ASSERT_TRUE(one && two);
    CFolderNode* topics = g_state.m_topicsFolder;
    ASSERT_TRUE(topics == one || topics == two);
    CFolderNode* other = topics == one ? two : one;
    // The topics folder publishes its files; a second one ends up empty.
    EXPECT_NE(topics->FindChild("readme.txt"), nullptr);
    EXPECT_FALSE(other->HasChildren());
    if (topics == one) {
        EXPECT_EQ(mailboxes, (std::vector<std::string>{"list"}));
        CFolderNode* list = Sub(*one, "list");
        ASSERT_NE(list, nullptr);
        EXPECT_FALSE(list->HasChildren());  // a mailbox gets no children from the disk
    } else {
        EXPECT_TRUE(mailboxes.empty());
    }
    // The parent is recorded before its subfolders are scanned.
    EXPECT_EQ(g_state.m_modelsFolder, Sub(root, "models"));
    EXPECT_EQ(g_state.m_iconsFolder, Sub(root, "icons"));
    EXPECT_NE(Sub(*Sub(root, "models"), "inner"), nullptr);
}

TEST_F(ScanTest, RedirectGrowsOneEscapedNamePerLevel) {
    Write("R/vantrel.cfg", "redirect=http://mirror/r/\n");
    Write("R/Sub/Two Words/f.txt", "f");
    Write("R/Own/vantrel.cfg", "redirect=http://other/\n");
    Write("R/Own/g.txt", "g");

    CFolderNode& root = Scan();
    CFolderNode* r = Sub(root, "R");
    ASSERT_NE(r, nullptr);
    CFolderNode* sub = Sub(*r, "Sub");
    ASSERT_NE(sub, nullptr);
    CFolderNode* words = Sub(*sub, "Two Words");
    ASSERT_NE(words, nullptr);
    EXPECT_EQ(root.Options().m_redirect, "");
    EXPECT_EQ(r->Options().m_redirect, "http://mirror/r/");
    EXPECT_EQ(sub->Options().m_redirect, "http://mirror/r/Sub/");
    EXPECT_EQ(words->Options().m_redirect, "http://mirror/r/Sub/Two%20Words/");
    EXPECT_EQ(Sub(*r, "Own")->Options().m_redirect, "http://other/");
    EXPECT_EQ(NodeUrl(*words->FindChild("f.txt"), nullptr),
              "http://mirror/r/Sub/Two%20Words/f.txt");
}

TEST_F(ScanTest, IndexFileIsTheLastExactNameEnumerated) {
    Write("htm/index.htm", "1");
    Write("html/index.html", "2");
    Write("upper/Index.html", "3");
    Write("both/index.htm", "4");
    Write("both/index.html", "5");

    // Which of the two comes later is up to the file system: ask it.
    std::string later;
    {
        DIR* dir = ::opendir((m_dir / "both").c_str());
        ASSERT_NE(dir, nullptr);
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "index.htm" || name == "index.html") later = name;
        }
        ::closedir(dir);
    }
    CFolderNode& root = Scan();
    struct Case {
        const char* folder;
        const char* index;  // null: none
    } cases[] = {
        {"htm", "index.htm"}, {"html", "index.html"}, {"upper", nullptr}, {"both", later.c_str()}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        CFolderNode* folder = Sub(root, c.folder);
        ASSERT_NE(folder, nullptr);
        if (c.index) {
            ASSERT_NE(folder->m_indexNode, nullptr);
            EXPECT_EQ(folder->m_indexNode->m_name, c.index);
            EXPECT_EQ(folder->m_indexNode, folder->FindChild(c.index));
        } else {
            EXPECT_EQ(folder->m_indexNode, nullptr);
        }
    }
}

TEST_F(ScanTest, SizesAddUpPerFolderAndSubtree) {
    Write("sub/a", std::string(10, 'a'));
    Write("sub/b", std::string(20, 'b'));
    Write("sub/c", std::string(30, 'c'));
    Write("sub/vantrel.cfg", "title=not counted\n");
    Write("sub/.hidden", std::string(1000, 'h'));

    CFolderNode& root = Scan();
    CFolderNode* sub = Sub(root, "sub");
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->m_size, 60);
    EXPECT_EQ(sub->m_filesSize, 60);
    EXPECT_EQ(root.m_size, 60);
    EXPECT_EQ(root.m_filesSize, 0);
}

TEST_F(ScanTest, SparseFileOverTwoGiBKeepsItsTrueSize) {
    constexpr std::int64_t kSize = 3LL << 30;
    MakeDir("big");
    { std::ofstream(m_dir / "big" / "sparse.bin"); }
    ASSERT_EQ(::truncate((m_dir / "big" / "sparse.bin").c_str(), kSize), 0);
    Write("big/one", "1");

    CFolderNode& root = Scan();
    CFolderNode* big = Sub(root, "big");
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->FindChild("sparse.bin")->m_size, kSize);
    EXPECT_EQ(big->m_filesSize, kSize + 1);
    EXPECT_EQ(root.m_size, kSize + 1);
}

TEST_F(ScanTest, ConfigThatIsNotAPlainFileIsNotRead) {
    MakeDir("fifo");
    ASSERT_EQ(::mkfifo((m_dir / "fifo" / "vantrel.cfg").c_str(), 0644), 0);
    MakeDir("device");
    fs::create_symlink("/dev/zero", m_dir / "device" / "vantrel.cfg");
    Write("plain/vantrel.cfg", "title=Plain\n");
    ::testing::internal::CaptureStderr();
    CFolderNode& root = Scan();  // neither waits for a writer nor reads without end
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Names(root), (std::vector<std::string>{"device", "fifo", "plain"}));
    EXPECT_EQ(Sub(root, "plain")->m_label, "Plain");
    EXPECT_EQ(Sub(root, "fifo")->m_label, "");
    EXPECT_NE(errors.find("vantrel.cfg is not a plain file"), std::string::npos) << errors;
}

TEST_F(ScanTest, UnreadableOrMissingDirectoryGivesNoChildren) {
    m_root = std::make_unique<CFolderNode>((m_dir / "does-not-exist").string());
    EXPECT_FALSE(m_root->HasChildren());
    EXPECT_EQ(m_root->m_size, 0);
}

}  // namespace
