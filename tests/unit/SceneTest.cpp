// The folder worlds: room and hall layout, the object chosen for each child, the graph rows,
// shares and age colours, and text escaping inside VRML strings. Trees are scanned from
// temporary directories; whole worlds are compared byte for byte.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "server/FolderNode.h"
#include "TempTree.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "publish/VrmlText.h"

namespace fs = std::filesystem;

namespace {

constexpr std::time_t kDay = 86400;

// A line as the world ends it.
std::string L(const std::string& text) {
    return text + "\r\n";
}

// The object of a child that found no model: an anchor around a sphere.
std::string Sphere(const std::string& url, const std::string& label) {
    return L("WWWAnchor {\n\tname \"" + url + "\" description \"" + label + "\"") +
           L("\tSphere { radius .5 }") + L("}");
}

std::string ExitCube(const std::string& folderUrl) {
    return L("WWWAnchor {\n\tname \"" + folderUrl + "?PAGE\" description \"Exit to Text\"") +
           L("\tCube { width 1 height 1 depth .5 }") + L("}");
}

std::string ParentCube(const std::string& parentUrl, const std::string& label) {
    return L("WWWAnchor {\n\tname \"" + parentUrl + "?SCENE\" description \"" + label + "\"") +
           L("\tCube { width 1 height 1 depth .5 }") + L("}");
}

std::string RoomHead(const std::string& title) {
    return L("#VRML V1.0 ascii") + L("") + L("Separator {") +
           L("DEF Title Info { string \"" + title + "\"}") +
           L("DEF SceneInfo Info { string \"" + title +
             " -- Created by Korvane Networks Vantrel \"}") +
           L("DEF Viewer Info { string \"Walk\" }") + L("DEF ViewerSpeed Info { string \"2\" }") +
           L("");
}

// The prototypes when no model exists anywhere.
std::string EmptyPrototypes() {
    return L("Switch { ") + L("\tDEF Wall Separator { ") + L("\t}") +
           L("\tDEF Frame Separator { ") + L("\t}") + L("\tDEF Door Separator { ") + L("\t}") +
           L("\tDEF Parent Separator { ") + L("\t}") + L("\tDEF Exit Separator { ") + L("\t}") +
           L("\tDEF BBoard Separator { ") + L("\t}") + L("\tDEF BBNote Separator { ") + L("\t}") +
           L("}");
}

const std::string kCorner = L("Transform { translation 2 0 2 rotation 0 1 0 -1.570796327 }");
const std::string kStep = L("Transform { translation 4 0 0 }");
const std::string kHallStart = L("Transform { translation -2 0 3 rotation 0 1 0 1.5708 }");
const std::string kSite = "http://localhost:8080";

class SceneTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_state.ResetForTests();
        g_state.SetHostName("localhost");
        g_state.m_httpPort = 8080;
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override {
        m_root.reset();
        g_state.ResetForTests();
        m_tree.Clear();  // the cases of one test each start from an empty site
    }

    void Write(const std::string& relative, const std::string& bytes) {
        m_tree.Write(relative, bytes);
    }
    void Sized(const std::string& relative, std::uintmax_t size) {
        Write(relative, "");
        fs::resize_file(m_dir / relative, size);
    }
    void Mkdir(const std::string& relative) { m_tree.MakeDir(relative); }
    // Every entry below the root gets the same age, an hour past whole days so that the day
    // count cannot tip over while the test runs.
    void AgeAll(std::time_t days) {
        struct timeval times[2];
        times[0].tv_sec = times[1].tv_sec = std::time(nullptr) - days * kDay - 3600;
        times[0].tv_usec = times[1].tv_usec = 0;
        for (const auto& entry : fs::recursive_directory_iterator(m_dir)) {
            ASSERT_EQ(::utimes(entry.path().c_str(), times), 0) << entry.path();
        }
    }

    CFolderNode& Scan() {
        m_root = std::make_unique<CFolderNode>(m_dir.string());
        return *m_root;
    }
    CFolderNode& Folder(const std::string& name) {
        auto* folder = dynamic_cast<CFolderNode*>(m_root->FindChild(name));
        EXPECT_NE(folder, nullptr) << name;
        return folder ? *folder : *m_root;
    }

    // The world a request with `keywords` gets, after checking its header.
    std::string World(CFolderNode& folder, const char* keywords) {
        COptions options = folder.Options();
        options.ParseOptions(keywords);
        CSocketStream out;
        out.OpenMemory("");
        out.m_options = &options;
        folder.ReplyScene(out);
        std::string reply = out.TakeOutput();
        std::size_t body = reply.find("\r\n\r\n");
        EXPECT_NE(body, std::string::npos);
        EXPECT_NE(reply.substr(0, body).find("Content-type: x-world/x-vrml"), std::string::npos);
        return body == std::string::npos ? reply : reply.substr(body + 4);
    }

    CTempTree m_tree;
    const fs::path& m_dir = m_tree.Path();
    std::unique_ptr<CFolderNode> m_root;
};

TEST_F(SceneTest, EmptyFolderIsAHallAndTheRootHasNoWayUp) {
    Mkdir("Empty");
    Scan();
    {
        SCOPED_TRACE("empty subfolder");
        std::string expected = RoomHead("Empty") + EmptyPrototypes() + kHallStart + kCorner +
                               ExitCube(kSite + "/Empty") + kCorner + kCorner +
                               ParentCube(kSite + "/", "") + L("}");
        EXPECT_EQ(World(Folder("Empty"), "scene"), expected);
    }
    {
        SCOPED_TRACE("root: one child, no parent object");
        std::string expected = RoomHead("") + EmptyPrototypes() + kHallStart +
                               Sphere(kSite + "/Empty", "Empty") + kCorner + ExitCube(kSite + "/") +
                               kCorner + kCorner + L("}");
        EXPECT_EQ(World(*m_root, "scene"), expected);
    }
}

// Up to ten children make a hall of two walls; the eleventh makes a room of four. Slots are
// filled in list order, wall 0 first; slots past the last child stay empty.
TEST_F(SceneTest, TenChildrenMakeAHallElevenARoom) {
    for (int i = 0; i < 11; ++i)
        Write("Big/c" + std::to_string(10 + i) + ".txt", "x");
    for (int i = 0; i < 10; ++i)
        Write("Ten/c" + std::to_string(10 + i) + ".txt", "x");
    Scan();
    auto child = [](const std::string& folder, int i) {
        std::string name = "c" + std::to_string(10 + i) + ".txt";
        return Sphere(kSite + "/" + folder + "/" + name, name);
    };
    {
        SCOPED_TRACE("hall, 5 per wall");
        std::string walls;
        for (int wall = 0; wall < 2; ++wall) {
            for (int slot = 0; slot < 5; ++slot) {
                walls += (slot > 0 ? kStep : "") + child("Ten", wall * 5 + slot);
            }
            walls += kCorner;
            walls += wall == 0 ? ExitCube(kSite + "/Ten/") + kCorner : ParentCube(kSite + "/", "");
        }
        EXPECT_EQ(World(Folder("Ten"), "scene"),
                  RoomHead("Ten") + EmptyPrototypes() + kHallStart + walls + L("}"));
    }
    {
        SCOPED_TRACE("room, 3 per wall");
        std::string walls;
        for (int wall = 0; wall < 4; ++wall) {
            for (int slot = 0; slot < 3; ++slot) {
                int index = wall * 3 + slot;
                walls += (slot > 0 ? kStep : "") + (index < 11 ? child("Big", index) : "");
            }
            walls += kCorner;
            if (wall == 1) walls += ExitCube(kSite + "/Big/");
            if (wall == 3) walls += ParentCube(kSite + "/", "");
            walls += kStep;
        }
        EXPECT_EQ(World(Folder("Big"), "scene"), RoomHead("Big") + EmptyPrototypes() +
                                                     L("Transform { translation -6 0 -8 }") +
                                                     walls + L("}"));
    }
}

// The folder's own room.wrl picks four walls and is pasted as the shell; it also hangs on a
// wall as a child. Wall segments and their texture come from the models folder.
TEST_F(SceneTest, OwnRoomModelWithFiveChildren) {
    Write("models/vantrel.cfg", "models\n");
    Write("models/wall.wrl", "# wall\n");
    Write("models/wall.gif", "GIF89a");
    Write("Five/room.wrl", "# own room\n");
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"})
        Write(std::string("Five/") + name, "x");
    Scan();
    auto child = [](const std::string& name) { return Sphere(kSite + "/Five/" + name, name); };
    const std::string use = L("USE Wall");
    const std::string cornerWall = kCorner + L("\tUSE Wall");
    std::string expected =
        RoomHead("Five") + "# own room\n" + L("Switch { ") + L("\tDEF Wall Separator { ") +
        L("\tTexture2 { filename \"" + kSite + "/models/wall.gif\" }") + "# wall\n" + L("\t}") +
        L("\tDEF Frame Separator { ") + L("\t}") + L("\tDEF Door Separator { ") + L("\t}") +
        L("\tDEF Parent Separator { ") + L("\t}") + L("\tDEF Exit Separator { ") + L("\t}") +
        L("\tDEF BBoard Separator { ") + L("\t}") + L("\tDEF BBNote Separator { ") + L("\t}") +
        L("}") + L("Transform { translation -4 0 -6 }") +
        // wall 0
        use + child("a.txt") + kStep + use + child("b.txt") + cornerWall + kStep +
        // wall 1
        use + child("c.txt") + kStep + use + child("d.txt") + cornerWall +
        ExitCube(kSite + "/Five/") + kStep +
        // wall 2: the second slot is bare
        use + child("room.wrl") + kStep + use + cornerWall + kStep +
        // wall 3: both slots bare
        use + kStep + use + cornerWall + ParentCube(kSite + "/", "") + kStep + L("}");
    EXPECT_EQ(World(Folder("Five"), "scene"), expected);
}

// Which object a child gets, rule by rule, in the order the rules are tried.
TEST_F(SceneTest, ChildObjectRulesInOrder) {
    struct Case {
        const char* label;
        std::vector<std::pair<std::string, std::string>> files;  // path, bytes
        std::string child;                                       // in folder D
        std::string object;                                      // between anchor line and "}"
    };
    const std::string frame = L("\tUSE Frame");
    const std::vector<Case> cases = {
        {"picture framed with its own URL even without frame.wrl",
         {{"D/photo.JPG", "x"}},
         "photo.JPG",
         L("\tTexture2 { filename \"" + kSite + "/D/photo.JPG\" }") + frame},
        {"picture with frame.wrl",
         {{"D/photo.jpeg", "x"}, {"models/frame.wrl", "# frame\n"}},
         "photo.jpeg",
         L("\tTexture2 { filename \"" + kSite + "/D/photo.jpeg\" }") + frame},
        {"kind model from the models folder",
         {{"D/notes.txt", "x"}, {"models/txt.wrl", "# text\n"}, {"models/Default.wrl", "# d\n"}},
         "notes.txt",
         L("\tSeparator { ") + "# text\n" + L("\t}")},
        {"kind model in the folder itself wins",
         {{"D/notes.txt", "x"}, {"D/TXT.wrl", "# mine\n"}, {"models/txt.wrl", "# text\n"}},
         "notes.txt",
         L("\tSeparator { ") + "# mine\n" + L("\t}")},
        {"kind picture from the icons folder needs frame.wrl",
         {{"D/page.htm", "x"},
          {"models/frame.wrl", "# frame\n"},
          {"icons/vantrel.cfg", "icons\n"},
          {"icons/htm.gif", "GIF89a"}},
         "page.htm",
         L("\tTexture2 { filename \"" + kSite + "/icons/htm.gif\" }") + frame},
        {"kind picture without frame.wrl falls to the default model",
         {{"D/page.htm", "x"},
          {"icons/vantrel.cfg", "icons\n"},
          {"icons/htm.gif", "GIF89a"},
          {"models/Default.wrl", "# d\n"}},
         "page.htm",
         L("\tSeparator { ") + "# d\n" + L("\t}")},
        {"door for a subfolder when Folder.wrl exists",
         {{"D/Sub/a.txt", "x"}, {"models/Folder.wrl", "# door\n"}},
         "Sub",
         L("\tUSE Door")},
        {"subfolder without Folder.wrl is a sphere",
         {{"D/Sub/a.txt", "x"}},
         "Sub",
         L("\tSphere { radius .5 }")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TearDown();
        SetUp();
        Write("models/vantrel.cfg", "models\n");
        for (const auto& [path, bytes] : c.files)
            Write(path, bytes);
        Scan();
        CNode* child = Folder("D").FindChild(c.child);
        ASSERT_NE(child, nullptr);
        std::string url = kSite + "/D/" + c.child + (child->HasChildren() ? "/?SCENE" : "");
        std::string anchor =
            L("WWWAnchor {\n\tname \"" + url + "\" description \"" + c.child + "\"");
        std::string world = World(Folder("D"), "scene");
        std::size_t at = world.find(anchor);
        ASSERT_NE(at, std::string::npos) << world;
        std::size_t end = world.find("\r\n}\r\n", at);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(world.substr(at + anchor.size(), end + 2 - at - anchor.size()), c.object);
    }
}

// Under the topics folder a folder whose first child has no children is a bulletin board; the
// topics folder, seen from its parent, is a door because its first child has children.
TEST_F(SceneTest, BulletinBoardAndTopicsDoor) {
    Write("models/vantrel.cfg", "models\n");
    Write("models/Folder.wrl", "# door\n");
    Write("models/cork.gif", "GIF89a");
    Scan();
    // The scan leaves mailboxes to the mail module; build Forum/Box/{1,2} as it would, in
    // memory: folders carrying `topics`, the mailbox's children messages without children.
    auto topics = std::make_shared<const COptions>("topics");
    auto forum = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "Forum");
    auto box = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "Box");
    for (const char* message : {"1", "2"}) {
        auto node = std::make_unique<CFileNode>();
        node->m_name = message;
        box->AddChild(std::move(node));
    }
    forum->m_options = box->m_options = topics;
    forum->AddChild(std::move(box));
    CFolderNode* forumNode = forum.get();
    m_root->AddChild(std::move(forum));
    const std::string board =
        L("WWWAnchor {\n\tname \"" + kSite + "/Forum/Box/?SCENE\" description \"Box\"") +
        L("\tSeparator {") + L("\tTransform { translation 0 0 0.05 }") +
        L("\tMaterial {  diffuseColor 0.4 0.3 0 ambientColor 0.4 0.3 0 }") +
        L("\tCube { width 1.1 height 1.1 depth .1 }") + L("\t}") + L("\tSeparator {") +
        L("\tTexture2 { filename  \"" + kSite + "/models/cork.gif\" }") + L("\tUSE BBoard") +
        L("\t}") + L("\tTransform { translation 0 0 0.11}") + L("\tSeparator { ") +
        L("\tTransform { translation .2 .03 0 }") + L("\tUSE BBNote") + L("\t}") +
        L("\tSeparator { ") + L("\tTransform { translation .28 -.2 0 }") + L("\tUSE BBNote") +
        L("\t}") + L("\tSeparator { ") + L("\tTransform { translation -.2 -.3 0 }") +
        L("\tUSE BBNote") + L("\t}") + L("\tSeparator { ") +
        L("\tTransform { translation -.35 .3 0 }") + L("\tUSE BBNote") + L("\t}") + L("}");
    std::string boardWorld = World(*forumNode, "scene");
    EXPECT_NE(boardWorld.find(board), std::string::npos) << boardWorld;
    const std::string door =
        L("WWWAnchor {\n\tname \"" + kSite + "/Forum/?SCENE\" description \"Forum\"") +
        L("\tUSE Door") + L("}");
    std::string root = World(*m_root, "scene");
    EXPECT_NE(root.find(door), std::string::npos) << root;
}

// Scenes carry absolute URLs: no ":80" on the default port, and a parent's `redirect` prefix
// replaces the whole address of its children.
TEST_F(SceneTest, UrlsInWorldsAreAbsolute) {
    Write("D/a.txt", "x");
    Write("R/vantrel.cfg", "redirect=http://mirror.example/r/\n");
    Write("R/b.txt", "x");
    Write("R/Sub/c.txt", "x");
    Scan();
    g_state.m_httpPort = 80;
    std::string plain = World(Folder("D"), "scene");
    EXPECT_NE(plain.find(Sphere("http://localhost/D/a.txt", "a.txt")), std::string::npos) << plain;
    EXPECT_NE(plain.find(ExitCube("http://localhost/D/")), std::string::npos);

    std::string redirected = World(Folder("R"), "scene");
    EXPECT_NE(redirected.find(Sphere("http://mirror.example/r/b.txt", "b.txt")), std::string::npos)
        << redirected;
    EXPECT_NE(redirected.find(Sphere("http://mirror.example/r/Sub?SCENE", "Sub")),
              std::string::npos);
}

// Quotes and backslashes in names and labels must not end a VRML string early.
TEST_F(SceneTest, QuotesAndBackslashesAreEscapedInStrings) {
    Write("My \"Docs\"/a\\b.txt", std::string(100, 'x'));
    Write("My \"Docs\"/vantrel.cfg", "title=Say \"hi\"\n");
    Scan();
    CFolderNode& docs = Folder("My \"Docs\"");
    std::string room = World(docs, "scene");
    EXPECT_NE(room.find(L("DEF Title Info { string \"Say \\\"hi\\\"\"}")), std::string::npos)
        << room;
    EXPECT_NE(room.find("/My%20%22Docs%22/a%5Cb.txt\" description \"a\\\\b.txt\""),
              std::string::npos);
    std::string graph = World(docs, "graph");
    EXPECT_NE(graph.find(L("DEF Title Info { string \"Graph of My \\\"Docs\\\"\"}")),
              std::string::npos)
        << graph;
    EXPECT_NE(graph.find(L("AsciiText { string \"My \\\"Docs\\\"\" }")), std::string::npos);
    EXPECT_EQ(graph.find("AsciiText { string \"My \"Docs"), std::string::npos);

    EXPECT_EQ(VrmlEscape(""), "");
    EXPECT_EQ(VrmlEscape("plain name.txt"), "plain name.txt");
    EXPECT_EQ(VrmlEscape("\"\\\""), "\\\"\\\\\\\"");
}

// A two-level tree of 10,000 bytes: files of 1% and more get their own boxes stacked in the
// folder's row, smaller files are lumped into the folder's box, empty files are skipped, and
// each level of subfolders is one row further back.
TEST_F(SceneTest, GraphOfATwoLevelTree) {
    Write("models/vantrel.cfg", "models\n");
    Write("models/grid.wrl", "# grid\n");
    Sized("G/big.txt", 5000);
    Sized("G/one.txt", 100);  // exactly 1%: its own box
    Sized("G/tiny1.txt", 50);
    Sized("G/tiny2.txt", 40);
    Sized("G/zero.txt", 0);
    Sized("G/Sub/mid.txt", 3000);
    Sized("G/Sub/tiny3.txt", 20);
    Sized("G/Sub2/rest.txt", 1790);
    AgeAll(45);
    Scan();
    const std::string colour =
        "\tMaterial {  diffuseColor 0.50 0.50 0.00 ambientColor 0.50 0.50 0.00 }\n";
    auto box = [&](const std::string& path, const std::string& label, const std::string& height) {
        return L("WWWAnchor {\n\tname \"" + kSite + path + "\" description \"" + label + "\"") +
               colour + L("\tCube { width 2 depth 2 height " + height + " }") + L("}");
    };
    auto label = [&](const std::string& path, const std::string& name, const std::string& up) {
        return L("WWWAnchor {\n\tname \"" + kSite + path + "/?SCENE\" description \"" + name +
                 "\"") +
               L("Material { diffuseColor 1 1 1 ambientColor 1 1 1 }") +
               L("Transform { translation 0.5 " + up +
                 " 0  rotation 0 0 1 1.570796327 scaleFactor .2 .2 .2 }") +
               L("AsciiText { string \"" + name + "\" }") + L("}") + L("}");
    };
    const std::string row = L("Transform { translation 3 0 0 }");
    std::string expected =
        L("#VRML V1.0 ascii") + L("") + L("Separator {") +
        L("DEF Title Info { string \"Graph of G\"}") +
        L("DEF SceneInfo Info { string \"Graph of G -- Created by Korvane Networks Vantrel \"}") +
        L("DEF Viewer Info { string \"Walk\" }") + L("DEF ViewerSpeed Info { string \"5\" }") +
        L("DEF BackgroundColor Info { string  \"0.5 0.5 0.5\" }") +
        L("PerspectiveCamera { position 5 13 80\torientation\t0.3 0.9 0 6.04927 }") +
        L("DirectionalLight {}") + L("WWWInline { name \"" + kSite + "/models/grid.wrl\" }") +
        // G: big 50%, one 1%, tiny1 + tiny2 lumped (0.90%)
        row + L("Separator {\t# Directory G") + L("Transform { translation 0 25.00 0 }") +
        box("/G/big.txt", "big.txt", "50.00") + L("Transform { translation 0 25.50 0 }") +
        box("/G/one.txt", "one.txt", "1.00") + L("Transform { translation 0 0.95 0 }") +
        box("/G/", "G", "0.90") + label("/G/", "G", "0.95") +
        // one row back: Sub (mid 30%, tiny3 lumped 0.20%) and Sub2 (rest 17.90%)
        L("Transform { translation 0 0 -3 }") + row + L("Separator {\t# Directory Sub") +
        L("Transform { translation 0 15.00 0 }") + box("/G/Sub/mid.txt", "mid.txt", "30.00") +
        L("Transform { translation 0 15.10 0 }") + box("/G/Sub/", "Sub", "0.20") +
        label("/G/Sub/", "Sub", "0.60") + row + L("Separator {\t# Directory Sub2") +
        L("Transform { translation 0 8.95 0 }") + box("/G/Sub2/rest.txt", "rest.txt", "17.90") +
        L("Transform { translation 0 8.95 0 }") + box("/G/Sub2/", "Sub2", "0.00") +
        label("/G/Sub2/", "Sub2", "0.50") + L("Transform { translation 0 0 3 }") + L("}");
    EXPECT_EQ(World(Folder("G"), "graph"), expected);

    // `graph` from the folder's own settings wins over `scene`; `nolabel` puts spheres in place
    // of the names.
    std::string unlabelled = World(Folder("G"), "graph,nolabel");
    EXPECT_EQ(unlabelled.find("AsciiText"), std::string::npos);
    EXPECT_NE(unlabelled.find(L("Transform { translation 0 0.55 0 }") + L("Sphere { radius .5 }")),
              std::string::npos)
        << unlabelled;
    EXPECT_NE(unlabelled.find(L("Transform { translation 0 0.10 0 }") + L("Sphere { radius .5 }")),
              std::string::npos);
}

// Shares come from 64-bit sizes: 3 GiB of 4 GiB is 75%, not a wrapped negative number.
TEST_F(SceneTest, GraphSharesOfFilesPastFourGigabytes) {
    Sized("Huge/a.bin", std::uintmax_t{3} << 30);
    Sized("Huge/b.bin", std::uintmax_t{1} << 30);
    Scan();
    ASSERT_EQ(Folder("Huge").m_size.load(), std::int64_t{4} << 30);
    std::string world = World(Folder("Huge"), "graph");
    EXPECT_NE(world.find(L("Transform { translation 0 37.50 0 }")), std::string::npos) << world;
    EXPECT_NE(world.find(L("\tCube { width 2 depth 2 height 75.00 }")), std::string::npos);
    EXPECT_NE(world.find(L("Transform { translation 0 50.00 0 }")), std::string::npos);
    EXPECT_NE(world.find(L("\tCube { width 2 depth 2 height 25.00 }")), std::string::npos);
}

// A tree that held only empty files at the scan has a total of 0: boxes of height 0, no
// division by zero, even when a file has grown since.
TEST_F(SceneTest, GraphOfZeroBytes) {
    Sized("Z/a.txt", 0);
    Scan();
    Folder("Z").FindChild("a.txt")->m_size = 500;  // as a later reply would refresh it
    std::string world = World(Folder("Z"), "graph");
    EXPECT_NE(world.find(L("\tCube { width 2 depth 2 height 0.00 }")), std::string::npos) << world;
    EXPECT_EQ(world.find("inf"), std::string::npos);
    EXPECT_EQ(world.find("nan"), std::string::npos);
}

// Age colours: red when new, green at 90 days, blue from 180, black from 270.
TEST_F(SceneTest, BoxColourFollowsTheFileAge) {
    struct Case {
        std::time_t age;  // seconds
        const char* rgb;
    };
    const std::vector<Case> cases = {
        {0, "1.00 0.00 0.00"},
        {45 * kDay + 3600, "0.50 0.50 0.00"},
        {100 * kDay + 3600, "0.00 0.89 0.11"},
        {200 * kDay + 3600, "0.00 0.00 0.22"},
        {300 * kDay + 3600, "0.00 0.00 0.00"},
        {-(9 * kDay + 3600), "1.10 -0.10 0.00"},  // 9 days ahead: days = -9
        {-(200 * kDay), "0.00 0.00 0.00"},
    };
    CFolderNode folder(CFolderNode::NoScan{}, "F");
    auto owned = std::make_unique<CFileNode>();
    CFileNode* file = owned.get();
    file->m_name = "f.txt";
    folder.AddChild(std::move(owned));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rgb);
        file->m_modifiedTime = std::time(nullptr) - c.age;
        COptions options("scene");
        CSocketStream out;
        out.OpenMemory("");
        out.m_options = &options;
        out.SetFixed2(true);
        file->WriteSceneModel(out, 25.0f);
        std::string rgb(c.rgb);
        EXPECT_EQ(out.TakeOutput(),
                  L("WWWAnchor {\n\tname \"http://localhost:8080/f.txt\" description \"f.txt\"") +
                      "\tMaterial {  diffuseColor " + rgb + " ambientColor " + rgb + " }\n" +
                      L("\tCube { width 2 depth 2 height 25.00 }") + L("}"));
    }
}

}  // namespace
