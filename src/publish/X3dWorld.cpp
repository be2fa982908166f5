// X3dWorld.cpp - the room, hall and graph worlds in X3D's XML encoding.
//
// The choices are the VRML world's, made on the same .wrl lookups, so both worlds of a folder
// hold the same objects in the same places. What differs is the language: VRML 1.0 piles
// transforms and materials up as it goes, X3D nests them, so every object is written inside
// one Transform at its absolute place, and each shape carries its own appearance.
//
// Models come from X3D twins: "room.x3d" beside the "room.wrl" that was found. A twin is an X3D
// document (only what is inside its Scene is pasted) or a bare run of nodes. An empty
// "<ImageTexture/>" in a twin stands for the picture the world puts there (the wall's
// texture, the board's cork, the framed picture); where there is none it is dropped. A twin
// that is missing leaves its object out and says so in a comment.
#include "publish/X3dWorld.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>

#include "server/FolderNode.h"
#include "server/HttpHeader.h"
#include "server/OpenFailure.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "platform/Fd.h"
#include "publish/X3dText.h"

namespace {

constexpr int kRoomWalls = 4;
constexpr int kHallWalls = 2;
constexpr int kMostChildrenInHall = 10;
constexpr double kCornerTurn = -1.570796327;
constexpr double kHallStartTurn = 1.5708;
constexpr std::string_view kTextureMark = "<ImageTexture/>";
constexpr const char* kCredit = " -- Created by Korvane Networks Vantrel ";
// Anchors to pages and files rather than worlds: a browser viewer opens them in the window.
constexpr const char* kPageTarget = " parameter='\"target=_top\"'";

// Reads a published file whole; false when it cannot be opened (the failure logged as it
// deserves) or a read fails.
bool ReadPublishedFile(const CFileNode& file, std::string& text) {
    struct stat st;
    COpenFailure failure;
    CFd fd = file.OpenPublished(st, failure);
    if (!fd.IsValid()) return false;
    text.clear();
    char buffer[16384];
    for (;;) {
        ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0) return false;
        if (got == 0) return true;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// What a twin contributes to a world: the inside of its Scene element, or all of it.
std::string SceneBody(const std::string& text) {
    std::size_t open = text.find("<Scene");
    if (open == std::string::npos) return text;
    std::size_t tagEnd = text.find('>', open);
    if (tagEnd == std::string::npos || text[tagEnd - 1] == '/') return std::string();
    std::size_t close = text.rfind("</Scene>");
    if (close == std::string::npos || close < tagEnd) return std::string();
    return text.substr(tagEnd + 1, close - tagEnd - 1);
}

// The server-relative URL: a browser viewer resolves it against the world's own address and
// fetches from the origin that served the page (an absolute host name might not be it).
std::string Url(const CNode& node) {
    return NodeUrl(node, nullptr);
}

std::string Point(double x, double y, double z) {
    return X3dNumber(x) + " " + X3dNumber(y) + " " + X3dNumber(z);
}

// Where the next object stands: VRML's Transform { translation t rotation 0 1 0 a } applied
// to the current place moves by t turned by the current heading, then turns by a.
struct CPlace {
    double m_x = 0, m_y = 0, m_z = 0;
    double m_heading = 0;  // about the vertical axis

    void Move(double x, double z, double turn = 0) {
        const double c = std::cos(m_heading), s = std::sin(m_heading);
        m_x += x * c + z * s;
        m_z += -x * s + z * c;
        m_heading += turn;
    }
};

class CX3dWriter {
  public:
    explicit CX3dWriter(CSocketStream& out) : m_out(out) {}

    void Document(CFolderNode& folder, bool graph);

  private:
    // --- twins ---
    // The twin beside a found .wrl model: same folder, same name with ".x3d"; null if none.
    const CFileNode* TwinOf(const CNode* model) const;
    // The pasted text of a twin, read once per world.
    const std::string& TwinBody(const CFileNode& twin);
    // Pastes the twin of `model` with `textureUrl` in its texture marks (dropped when empty);
    // a comment when the twin is missing. Nothing when the model itself was not found.
    void PasteModel(const CNode* model, const std::string& textureUrl = std::string());
    void MissingTwin(const CNode& model);

    // --- room ---
    void Room(CFolderNode& folder);
    void Prototype(const char* name, const CNode* model, const std::string& textureUrl = {});
    void Use(const char* name) { m_out << "<Group USE='" << name << "'/>" << EndLine; }
    void OpenPlace(const CPlace& place);
    void ChildObject(const CFolderNode& folder, const CNode& child);
    void BulletinBoard();
    void ExitObject(const CFolderNode& folder);
    void ParentObject(const CFolderNode& folder);
    void Placeholder();

    // --- graph ---
    void Graph(CFolderNode& folder);
    void GraphRow(const CFolderNode& folder, std::int64_t total);
    void GraphBox(const CNode& node, float height);

    void OpenAnchor(const std::string& url, std::string_view description, bool page);

    CSocketStream& m_out;
    std::map<const CFileNode*, std::string> m_twins;
    // The prototypes written into the Switch (a found model whose twin exists).
    bool m_wall = false, m_door = false, m_parent = false, m_exit = false;
    bool m_board = false, m_note = false;
    const CNode* m_frameModel = nullptr;
    const CNode* m_doorModel = nullptr;
    double m_rowX = 0, m_rowZ = 0;  // the graph's running row position
};

const CFileNode* CX3dWriter::TwinOf(const CNode* model) const {
    if (!model || !model->m_parent) return nullptr;
    std::string_view name = model->m_name;
    std::size_t dot = name.rfind('.');
    std::string twinName = std::string(name.substr(0, dot)) + ".x3d";
    return dynamic_cast<const CFileNode*>(model->m_parent->FindChild(twinName));
}

const std::string& CX3dWriter::TwinBody(const CFileNode& twin) {
    auto found = m_twins.find(&twin);
    if (found != m_twins.end()) return found->second;
    std::string text;
    if (!ReadPublishedFile(twin, text)) text.clear();
    return m_twins.emplace(&twin, SceneBody(text)).first->second;
}

void CX3dWriter::MissingTwin(const CNode& model) {
    m_out << "<!-- " << XmlCommentText(model.m_name) << " has no X3D twin beside it: left out -->"
          << EndLine;
}

void CX3dWriter::PasteModel(const CNode* model, const std::string& textureUrl) {
    if (!model) return;
    const CFileNode* twin = TwinOf(model);
    if (!twin) {
        MissingTwin(*model);
        return;
    }
    const std::string& body = TwinBody(*twin);
    const std::string texture =
        textureUrl.empty() ? std::string() : "<ImageTexture url='" + X3dQuoted(textureUrl) + "'/>";
    std::size_t from = 0;
    for (std::size_t at = body.find(kTextureMark); at != std::string::npos;
         at = body.find(kTextureMark, from)) {
        m_out << std::string_view(body).substr(from, at - from) << texture;
        from = at + kTextureMark.size();
    }
    m_out << std::string_view(body).substr(from) << EndLine;
}

void CX3dWriter::OpenAnchor(const std::string& url, std::string_view description, bool page) {
    m_out << "<Anchor url='" << X3dQuoted(url) << "' description='" << XmlText(description) << "'"
          << (page ? kPageTarget : "") << ">" << EndLine;
}

void CX3dWriter::Document(CFolderNode& folder, bool graph) {
    const std::string title = graph ? "Graph of " + folder.m_name : folder.GetLabel("");
    m_out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" << EndLine;
    m_out << "<X3D profile='Immersive' version='3.3'>" << EndLine;
    m_out << "<head>" << EndLine << "<meta name='title' content='" << XmlText(title) << "'/>"
          << EndLine << "</head>" << EndLine;
    m_out << "<Scene>" << EndLine;
    m_out << "<WorldInfo title='" << XmlText(title) << "' info='" << X3dQuoted(title + kCredit)
          << "'/>" << EndLine;
    if (graph) {
        Graph(folder);
    } else {
        Room(folder);
    }
    m_out << "</Scene>" << EndLine << "</X3D>" << EndLine;
}

// --- room ---

void CX3dWriter::Prototype(const char* name, const CNode* model, const std::string& textureUrl) {
    if (!model) return;
    if (!TwinOf(model)) {
        MissingTwin(*model);
        return;
    }
    m_out << "<Group DEF='" << name << "'>" << EndLine;
    PasteModel(model, textureUrl);
    m_out << "</Group>" << EndLine;
}

void CX3dWriter::OpenPlace(const CPlace& place) {
    m_out << "<Transform translation='" << Point(place.m_x, place.m_y, place.m_z) << "'";
    if (X3dNumber(place.m_heading) != "0") {
        m_out << " rotation='0 1 0 " << X3dNumber(place.m_heading) << "'";
    }
    m_out << ">" << EndLine;
}

void CX3dWriter::Placeholder() {
    m_out << "<Shape><Appearance><Material/></Appearance><Box size='1 1 0.5'/></Shape>" << EndLine;
}

void CX3dWriter::BulletinBoard() {
    m_out << "<Transform translation='0 0 0.05'><Shape><Appearance>"
             "<Material diffuseColor='0.4 0.3 0' ambientIntensity='1'/></Appearance>"
             "<Box size='1.1 1.1 0.1'/></Shape></Transform>"
          << EndLine;
    if (m_board) Use("BBoard");
    if (!m_note) return;
    for (const char* place : {"0.2 0.03", "0.28 -0.2", "-0.2 -0.3", "-0.35 0.3"}) {
        m_out << "<Transform translation='" << place << " 0.11'><Group USE='BBNote'/></Transform>"
              << EndLine;
    }
}

bool IsBulletinBoard(const CNode& child) {
    if (!child.Options().m_topics) return false;
    const CNode* first = child.FirstChild();
    return first && !first->HasChildren();
}

bool IsPictureKind(const std::string& kind) {
    return kind == "gif" || kind == "jpg" || kind == "jpeg";
}

void CX3dWriter::ChildObject(const CFolderNode& folder, const CNode& child) {
    const bool hasChildren = child.HasChildren();
    OpenAnchor(Url(child) + (hasChildren ? "?X3D" : ""), child.GetLabel(""), !hasChildren);
    CFolderNode* modelsFolder = g_state.m_modelsFolder;
    const auto* file = dynamic_cast<const CFileNode*>(&child);
    const std::string kind = file ? file->GetKind() : std::string();
    const CNode* model = nullptr;
    if (hasChildren && IsBulletinBoard(child)) {
        BulletinBoard();
    } else if (hasChildren && m_doorModel) {
        if (m_door) Use("Door");
    } else if (file && IsPictureKind(kind)) {
        PasteModel(m_frameModel, Url(child));
    } else if (file && (model = folder.FindModel(kind + ".wrl", modelsFolder))) {
        PasteModel(model);
    } else if (file && m_frameModel &&
               (model = folder.FindModel(kind + ".gif", g_state.m_iconsFolder))) {
        PasteModel(m_frameModel, Url(*model));
    } else if ((model = folder.FindModel("Default.wrl", modelsFolder))) {
        PasteModel(model);
    } else {
        m_out << "<Shape><Appearance><Material/></Appearance><Sphere radius='0.5'/></Shape>"
              << EndLine;
    }
    m_out << "</Anchor>" << EndLine;
}

void CX3dWriter::ExitObject(const CFolderNode& folder) {
    OpenAnchor(Url(folder) + "?PAGE", "Exit to Text", true);
    if (m_exit) {
        Use("Exit");
    } else if (!folder.FindModel("Exit.wrl", g_state.m_modelsFolder)) {
        Placeholder();
    }
    m_out << "</Anchor>" << EndLine;
}

void CX3dWriter::ParentObject(const CFolderNode& folder) {
    const CNode* parent = folder.m_parent;
    if (!parent) return;
    OpenAnchor(Url(*parent) + "?X3D", parent->GetLabel(""), false);
    if (m_parent) {
        Use("Parent");
    } else if (!folder.FindModel("Parent.wrl", g_state.m_modelsFolder)) {
        Placeholder();
    }
    m_out << "</Anchor>" << EndLine;
}

void CX3dWriter::Room(CFolderNode& folder) {
    m_out << "<NavigationInfo type='\"WALK\" \"ANY\"' speed='2'/>" << EndLine;
    // One count for the whole world, as a mailbox may gain messages meanwhile.
    const int childCount = folder.m_childCount;
    int walls = kHallWalls;
    if (folder.FindChild("room.wrl")) walls = kRoomWalls;
    if (!folder.FindChild("hall.wrl") && childCount > kMostChildrenInHall) walls = kRoomWalls;
    const bool isRoom = walls == kRoomWalls;
    const int perWall = (childCount + walls - 1) / walls;

    CFolderNode* modelsFolder = g_state.m_modelsFolder;
    const CNode* shell = isRoom ? nullptr : folder.FindModel("hall.wrl", modelsFolder);
    if (!shell) shell = folder.FindModel("room.wrl", modelsFolder);
    PasteModel(shell);

    const CNode* wall = folder.FindModel("wall.wrl", modelsFolder);
    m_frameModel = folder.FindModel("frame.wrl", modelsFolder);
    m_doorModel = folder.FindModel("Folder.wrl", modelsFolder);
    const CNode* parent = folder.FindModel("Parent.wrl", modelsFolder);
    const CNode* exit = folder.FindModel("Exit.wrl", modelsFolder);
    const CNode* board = folder.FindModel("BBoard.wrl", modelsFolder);
    const CNode* note = folder.FindModel("bbnote.wrl", modelsFolder);
    m_wall = TwinOf(wall), m_door = TwinOf(m_doorModel), m_parent = TwinOf(parent);
    m_exit = TwinOf(exit), m_board = TwinOf(board), m_note = TwinOf(note);

    // The prototypes sit in a Switch that draws nothing. The frame is pasted with each picture
    // instead, since every picture is a texture of its own.
    const CNode* wallTexture = folder.FindModel("wall.gif", modelsFolder);
    const CNode* cork = folder.FindModel("cork.gif", modelsFolder);
    m_out << "<Switch whichChoice='-1'>" << EndLine;
    Prototype("Wall", wall, wallTexture ? Url(*wallTexture) : std::string());
    Prototype("Door", m_doorModel);
    Prototype("Parent", parent);
    Prototype("Exit", exit);
    Prototype("BBoard", board, cork ? Url(*cork) : std::string());
    Prototype("BBNote", note);
    if (m_frameModel && !TwinOf(m_frameModel)) MissingTwin(*m_frameModel);
    m_out << "</Switch>" << EndLine;

    CPlace place;
    if (isRoom) {
        place.Move(-2.0 * perWall, -(2.0 * perWall + 2));
    } else {
        place.Move(-2, 3, kHallStartTurn);
    }

    const CNode* child = folder.FirstChild();
    int placed = 0;
    for (int w = 0; w < walls; ++w) {
        for (int slot = 0; slot < perWall; ++slot) {
            if (slot > 0) place.Move(4, 0);
            OpenPlace(place);
            if (m_wall) Use("Wall");
            if (child && placed < childCount) {
                ChildObject(folder, *child);
                child = child->Next();
                ++placed;
            }
            m_out << "</Transform>" << EndLine;
        }
        place.Move(2, 2, kCornerTurn);
        OpenPlace(place);
        if (m_wall) Use("Wall");
        if (isRoom) {
            if (w == 1) ExitObject(folder);
            if (w == 3) ParentObject(folder);
            m_out << "</Transform>" << EndLine;
            place.Move(4, 0);
        } else if (w == 0) {
            ExitObject(folder);
            m_out << "</Transform>" << EndLine;
            place.Move(2, 2, kCornerTurn);
        } else {
            ParentObject(folder);
            m_out << "</Transform>" << EndLine;
        }
    }
}

// --- graph ---

constexpr float kShareLimit = 0.01f;
constexpr float kPercent = 100.0f;
constexpr float kFlattest = 0.01f;  // X3D boxes need a size above 0

float SharePercent(std::int64_t size, std::int64_t total) {
    if (total <= 0) return 0.0f;
    return static_cast<float>(static_cast<double>(size) * kPercent / static_cast<double>(total));
}

bool IsSmallShare(std::int64_t size, std::int64_t total) {
    if (total <= 0) return true;
    return static_cast<float>(static_cast<double>(size) / static_cast<double>(total)) < kShareLimit;
}

// The VRML graph's age colour: red when new, green at 90 days, blue at 180, black from 270.
// X3D colours lie in 0-1, so a time in the future is clamped there.
std::string AgeColour(std::time_t modified) {
    const std::int64_t days =
        (static_cast<std::int64_t>(std::time(nullptr)) - static_cast<std::int64_t>(modified)) /
        86400;
    std::int64_t red = 0, green = 0, blue = 0;
    switch (days / 90) {
        case 0:
            red = 90 - days, green = days;
            break;
        case 1:
            green = 180 - days, blue = days - 90;
            break;
        case 2:
            blue = days - 180;
            break;
        default:
            break;
    }
    auto part = [](std::int64_t v) {
        return X3dNumber(std::clamp(static_cast<double>(static_cast<float>(v) / 90.0f), 0.0, 1.0));
    };
    return part(red) + " " + part(green) + " " + part(blue);
}

void CX3dWriter::GraphBox(const CNode& node, float height) {
    const auto* file = dynamic_cast<const CFileNode*>(&node);
    if (!file) return;  // a message: the VRML graph draws nothing for it either
    OpenAnchor(Url(node), node.GetLabel(""), true);
    m_out << "<Shape><Appearance><Material diffuseColor='" << AgeColour(file->m_modifiedTime.load())
          << "' ambientIntensity='1'/></Appearance><Box size='2 "
          << X3dNumber(std::max(height, kFlattest)) << " 2'/></Shape>" << EndLine;
    m_out << "</Anchor>" << EndLine;
}

void CX3dWriter::Graph(CFolderNode& folder) {
    m_out << "<NavigationInfo type='\"WALK\" \"ANY\"' speed='5'/>" << EndLine;
    m_out << "<Background skyColor='0.5 0.5 0.5'/>" << EndLine;
    m_out << "<Viewpoint position='5 13 80' orientation='0.3 0.9 0 6.04927'/>" << EndLine;
    m_out << "<DirectionalLight/>" << EndLine;
    // Referenced, not pasted, as the VRML world references grid.wrl.
    if (CFolderNode* models = g_state.m_modelsFolder) {
        if (const CNode* grid = models->FindChild("grid.wrl")) {
            if (const CFileNode* twin = TwinOf(grid)) {
                m_out << "<Inline url='" << X3dQuoted(Url(*twin)) << "'/>" << EndLine;
            } else {
                MissingTwin(*grid);
            }
        }
    }
    GraphRow(folder, folder.m_size);
}

void CX3dWriter::GraphRow(const CFolderNode& folder, std::int64_t total) {
    float offset = 0.0f, small = 0.0f, y = 0.0f;
    bool opened = false;
    auto open = [&] {
        m_rowX += 3;
        m_out << "<Group>" << EndLine << "<!-- Directory " << XmlCommentText(folder.m_name)
              << " -->" << EndLine;
        opened = true;
    };
    for (const CNode* child = folder.FirstChild(); child; child = child->Next()) {
        if (child->HasChildren()) continue;
        const std::int64_t size = child->m_size;
        if (size == 0) continue;
        if (IsSmallShare(size, total)) {
            small += SharePercent(size, total);
            continue;
        }
        if (!opened) open();
        const float height = SharePercent(size, total);
        offset = height / 2 + offset;
        y += offset;
        m_out << "<Transform translation='" << Point(m_rowX, y, m_rowZ) << "'>" << EndLine;
        GraphBox(*child, height);
        m_out << "</Transform>" << EndLine;
        offset = height / 2;
    }
    if (!opened) open();
    offset = small / 2 + offset;
    y += offset;
    m_out << "<Transform translation='" << Point(m_rowX, y, m_rowZ) << "'>" << EndLine;
    GraphBox(folder, small);
    const std::string url = Url(folder);
    OpenAnchor(url + (url.ends_with('/') ? "?X3D" : "/?X3D"), folder.GetLabel(""), false);
    const COptions& request = m_out.m_options ? *m_out.m_options : folder.Options();
    const char* white =
        "<Appearance><Material diffuseColor='1 1 1' ambientIntensity='1'/>"
        "</Appearance>";
    if (request.m_showLabels) {
        m_out << "<Transform translation='0.5 " << X3dNumber(small / 2 + 0.5)
              << " 0' rotation='0 0 1 1.570796327' scale='0.2 0.2 0.2'><Shape>" << white
              << "<Text string='" << X3dQuoted(folder.m_name)
              << "'><FontStyle size='10'/></Text></Shape></Transform>" << EndLine;
    } else {
        m_out << "<Transform translation='0 " << X3dNumber(small / 2 + 0.1) << " 0'><Shape>"
              << white << "<Sphere radius='0.5'/></Shape></Transform>" << EndLine;
    }
    m_out << "</Anchor>" << EndLine << "</Transform>" << EndLine << "</Group>" << EndLine;

    bool anyFolder = false;
    for (const CNode* child = folder.FirstChild(); child; child = child->Next()) {
        if (!child->HasChildren()) continue;
        const auto* subfolder = dynamic_cast<const CFolderNode*>(child);
        if (!anyFolder) {
            m_rowZ -= 3;
            anyFolder = true;
        }
        if (subfolder) GraphRow(*subfolder, total);
    }
    if (anyFolder) m_rowZ += 3;
}

}  // namespace

void ReplyX3dWorld(CSocketStream& out, CFolderNode& folder) {
    WriteDatedHeader(out, "model/x3d+xml");
    const COptions& request = out.m_options ? *out.m_options : folder.Options();
    CX3dWriter(out).Document(folder, request.m_graph != 0);
}
