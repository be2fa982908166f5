// X3dRoomWriter.cpp - the room or hall of an X3D world: the same choices as the VRML room,
// made on the same .wrl lookups, with every object written inside one Transform at its
// absolute place.
#include <cmath>
#include <string>

#include "server/FolderNode.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "publish/SceneRules.h"
#include "publish/X3dText.h"
#include "publish/X3dWriter.h"

namespace {

constexpr double kCornerTurn = -1.570796327;
constexpr double kHallStartTurn = 1.5708;

}  // namespace

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

void CX3dWriter::Use(const char* name) {
    m_out << "<Group USE='" << name << "'/>" << EndLine;
}

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
    const CRoomShape shape = RoomShapeOf(folder);
    CFolderNode* modelsFolder = g_state.m_modelsFolder;
    const CNode* shell = shape.m_isRoom ? nullptr : folder.FindModel("hall.wrl", modelsFolder);
    if (!shell) shell = folder.FindModel("room.wrl", modelsFolder);
    PasteModel(shell);
    Prototypes(folder);
    Walls(folder, shape);
}

void CX3dWriter::Prototypes(const CFolderNode& folder) {
    CFolderNode* modelsFolder = g_state.m_modelsFolder;
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
}

void CX3dWriter::Walls(const CFolderNode& folder, const CRoomShape& shape) {
    const int perWall = shape.m_perWall;
    CPlace place;
    if (shape.m_isRoom) {
        place.Move(-2.0 * perWall, -(2.0 * perWall + 2));
    } else {
        place.Move(-2, 3, kHallStartTurn);
    }

    const CNode* child = folder.FirstChild();
    int placed = 0;
    for (int w = 0; w < shape.m_walls; ++w) {
        for (int slot = 0; slot < perWall; ++slot) {
            if (slot > 0) place.Move(4, 0);
            OpenPlace(place);
            if (m_wall) Use("Wall");
            if (child && placed < shape.m_childCount) {
                ChildObject(folder, *child);
                child = child->Next();
                ++placed;
            }
            m_out << "</Transform>" << EndLine;
        }
        place.Move(2, 2, kCornerTurn);
        OpenPlace(place);
        if (m_wall) Use("Wall");
        if (shape.m_isRoom) {
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
