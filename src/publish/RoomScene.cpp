// RoomScene.cpp - the VRML reply of a folder and its walk-through world: a room of four walls
// or a hall of two, the children hung on the walls, an exit to the listing and a way up.
//
// The look comes from model files and pictures found by name (FindModel: the folder itself,
// then the models folder); whatever is missing only drops the lines that would use it.
#include <string>

#include "server/FolderNode.h"
#include "server/HttpHeader.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "publish/GraphScene.h"
#include "publish/SceneRules.h"
#include "publish/VrmlText.h"

namespace {

constexpr const char* kTurnCorner = "Transform { translation 2 0 2 rotation 0 1 0 -1.570796327 }";
constexpr const char* kNextSlot = "Transform { translation 4 0 0 }";
constexpr const char* kPlaceholder = "\tCube { width 1 height 1 depth .5 }";

// The prototypes a room refers to with USE; null when the model was not found.
struct CRoomModels {
    CNode* m_wall = nullptr;
    CNode* m_frame = nullptr;
    CNode* m_door = nullptr;
    CNode* m_parent = nullptr;
    CNode* m_exit = nullptr;
    CNode* m_board = nullptr;
    CNode* m_note = nullptr;
};

// A model is pasted as its bytes; anything that is not a plain file (a folder, a message)
// pastes as nothing, like a file that can no longer be opened.
void Paste(CSocketStream& out, CNode* model) {
    if (auto* file = dynamic_cast<CFileNode*>(model)) file->WriteFileContents(out);
}

void WritePrototype(CSocketStream& out, const char* name, CNode* model) {
    out << "\tDEF " << name << " Separator { " << EndLine;
    Paste(out, model);
    out << "\t}" << EndLine;
}

void WritePicture(CSocketStream& out, const CNode* picture) {
    out << "\tTexture2 { filename \"" << WriteVrmlUrl(picture) << "\" }" << EndLine;
    out << "\tUSE Frame" << EndLine;
}

void WritePastedModel(CSocketStream& out, CNode* model) {
    out << "\tSeparator { " << EndLine;
    Paste(out, model);
    out << "\t}" << EndLine;
}

// A mailbox whose children are messages: a cork board with four notes pinned on it, however
// many messages there are.
void WriteBulletinBoard(CSocketStream& out, const CFolderNode& folder) {
    out << "\tSeparator {" << EndLine << "\tTransform { translation 0 0 0.05 }" << EndLine
        << "\tMaterial {  diffuseColor 0.4 0.3 0 ambientColor 0.4 0.3 0 }" << EndLine
        << "\tCube { width 1.1 height 1.1 depth .1 }" << EndLine << "\t}" << EndLine;
    out << "\tSeparator {" << EndLine;
    if (CNode* cork = folder.FindModel("cork.gif", g_state.m_modelsFolder)) {
        out << "\tTexture2 { filename  \"" << WriteVrmlUrl(cork) << "\" }" << EndLine;
    }
    out << "\tUSE BBoard" << EndLine << "\t}" << EndLine;
    out << "\tTransform { translation 0 0 0.11}" << EndLine;
    for (const char* place :
         {"\tTransform { translation .2 .03 0 }", "\tTransform { translation .28 -.2 0 }",
          "\tTransform { translation -.2 -.3 0 }", "\tTransform { translation -.35 .3 0 }"}) {
        out << "\tSeparator { " << EndLine << place << EndLine << "\tUSE BBNote" << EndLine << "\t}"
            << EndLine;
    }
}

// One child on a wall: an anchor to the child (to its world when it has children) around the
// first object that fits it.
void WriteChildObject(CSocketStream& out, const CFolderNode& folder, const CNode& child,
                      const CRoomModels& models) {
    bool hasChildren = child.HasChildren();
    out << "WWWAnchor {\n\tname \"" << WriteVrmlUrl(&child) << (hasChildren ? "?SCENE" : "")
        << "\" description \"" << VrmlEscape(child.GetLabel("")) << "\"" << EndLine;
    CFolderNode* modelsFolder = g_state.m_modelsFolder;
    const auto* file = dynamic_cast<const CFileNode*>(&child);
    std::string kind = file ? file->GetKind() : std::string();
    CNode* model = nullptr;
    if (hasChildren && IsBulletinBoard(child)) {
        WriteBulletinBoard(out, folder);
    } else if (hasChildren && models.m_door) {
        out << "\tUSE Door" << EndLine;
    } else if (file && IsPictureKind(kind)) {
        WritePicture(out, &child);
    } else if (file && (model = folder.FindModel(kind + ".wrl", modelsFolder))) {
        WritePastedModel(out, model);
    } else if (file && models.m_frame &&
               (model = folder.FindModel(kind + ".gif", g_state.m_iconsFolder))) {
        WritePicture(out, model);
    } else if ((model = folder.FindModel("Default.wrl", modelsFolder))) {
        WritePastedModel(out, model);
    } else {
        out << "\tSphere { radius .5 }" << EndLine;
    }
    out << "}" << EndLine;
}

void WriteExitObject(CSocketStream& out, const CFolderNode& folder, const CRoomModels& models) {
    out << "WWWAnchor {\n\tname \"" << WriteVrmlUrl(&folder)
        << "?PAGE\" description \"Exit to Text\"" << EndLine;
    out << (models.m_exit ? "\tUSE Exit" : kPlaceholder) << EndLine;
    out << "}" << EndLine;
}

// The root has no way up: not even the placeholder is written.
void WriteParentObject(CSocketStream& out, const CFolderNode& folder, const CRoomModels& models) {
    const CNode* parent = folder.m_parent;
    if (!parent) return;
    out << "WWWAnchor {\n\tname \"" << WriteVrmlUrl(parent) << "?SCENE\" description \""
        << VrmlEscape(parent->GetLabel("")) << "\"" << EndLine;
    out << (models.m_parent ? "\tUSE Parent" : kPlaceholder) << EndLine;
    out << "}" << EndLine;
}

// The prototypes sit in a Switch that draws nothing; the walls refer to them with USE.
void WritePrototypes(CSocketStream& out, const CFolderNode& folder, const CRoomModels& models) {
    out << "Switch { " << EndLine;
    out << "\tDEF Wall Separator { " << EndLine;
    if (CNode* texture = folder.FindModel("wall.gif", g_state.m_modelsFolder)) {
        out << "\tTexture2 { filename \"" << WriteVrmlUrl(texture) << "\" }" << EndLine;
    }
    Paste(out, models.m_wall);
    out << "\t}" << EndLine;
    WritePrototype(out, "Frame", models.m_frame);
    WritePrototype(out, "Door", models.m_door);
    WritePrototype(out, "Parent", models.m_parent);
    WritePrototype(out, "Exit", models.m_exit);
    WritePrototype(out, "BBoard", models.m_board);
    WritePrototype(out, "BBNote", models.m_note);
    out << "}" << EndLine;
}

// The children along the walls, the exit and the way up at the corners.
void WriteWalls(CSocketStream& out, const CFolderNode& folder, const CRoomShape& shape,
                const CRoomModels& models) {
    if (shape.m_isRoom) {
        out << "Transform { translation " << -2 * shape.m_perWall << " 0 "
            << -(2 * shape.m_perWall + 2) << " }" << EndLine;
    } else {
        out << "Transform { translation -2 0 3 rotation 0 1 0 1.5708 }" << EndLine;
    }

    const CNode* child = folder.FirstChild();
    int placed = 0;
    for (int wall = 0; wall < shape.m_walls; ++wall) {
        for (int slot = 0; slot < shape.m_perWall; ++slot) {
            if (slot > 0) out << kNextSlot << EndLine;
            if (models.m_wall) out << "USE Wall" << EndLine;
            if (child && placed < shape.m_childCount) {
                WriteChildObject(out, folder, *child, models);
                child = child->Next();
                ++placed;
            }
        }
        out << kTurnCorner << EndLine;
        if (models.m_wall) out << "\tUSE Wall" << EndLine;
        if (shape.m_isRoom) {
            if (wall == 1) WriteExitObject(out, folder, models);
            if (wall == 3) WriteParentObject(out, folder, models);
            out << kNextSlot << EndLine;
        } else if (wall == 0) {
            WriteExitObject(out, folder, models);
            out << kTurnCorner << EndLine;
        } else {
            WriteParentObject(out, folder, models);
        }
    }
}

}  // namespace

void CFolderNode::ReplyScene(CSocketStream& out) {
    WriteDatedHeader(out, "x-world/x-vrml");
    out.SetFixed2(true);
    out << "#VRML V1.0 ascii" << EndLine << EndLine;
    out << "Separator {" << EndLine;
    const COptions& request = out.m_options ? *out.m_options : Options();
    if (request.m_graph) {
        WriteGraphWorld(out, *this);
    } else {
        std::string label = VrmlEscape(GetLabel(""));
        out << "DEF Title Info { string \"" << label << "\"}" << EndLine;
        out << "DEF SceneInfo Info { string \"" << label
            << " -- Created by Korvane Networks Vantrel \"}" << EndLine;
        out << "DEF Viewer Info { string \"Walk\" }" << EndLine;
        out << "DEF ViewerSpeed Info { string \"2\" }" << EndLine << EndLine;
        ReplyRoom(out);
    }
    out << "}" << EndLine;
}

void CFolderNode::ReplyRoom(CSocketStream& out) {
    const CRoomShape shape = RoomShapeOf(*this);
    CFolderNode* modelsFolder = g_state.m_modelsFolder;
    CNode* shell = shape.m_isRoom ? nullptr : FindModel("hall.wrl", modelsFolder);
    if (!shell) shell = FindModel("room.wrl", modelsFolder);
    Paste(out, shell);

    CRoomModels models;
    models.m_wall = FindModel("wall.wrl", modelsFolder);
    models.m_frame = FindModel("frame.wrl", modelsFolder);
    models.m_door = FindModel("Folder.wrl", modelsFolder);
    models.m_parent = FindModel("Parent.wrl", modelsFolder);
    models.m_exit = FindModel("Exit.wrl", modelsFolder);
    models.m_board = FindModel("BBoard.wrl", modelsFolder);
    models.m_note = FindModel("bbnote.wrl", modelsFolder);
    WritePrototypes(out, *this, models);
    WriteWalls(out, *this, shape, models);
}
