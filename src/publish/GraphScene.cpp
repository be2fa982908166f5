// GraphScene.cpp - the graph world: every file holding at least a hundredth of the requested
// folder's bytes is a box as tall as its share in percent, the smaller files of a folder are
// lumped into the folder's own box, each level of subfolders one row further back, and every
// box coloured by the age of its file.
//
// Sizes are 64-bit (a file past 4 GiB keeps its true share); shares are single-precision, as
// the 1% limit is.
#include "publish/GraphScene.h"

#include <cstdint>
#include <ctime>
#include <string>

#include "server/FolderNode.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "publish/SceneRules.h"
#include "publish/VrmlText.h"

namespace {

// The folder row's comment carries the name as it is; a line break in it would end the
// comment and leave the rest of the name to be read as nodes.
std::string CommentText(std::string_view name) {
    std::string text(name);
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

void OpenRow(CSocketStream& out, const CFolderNode& folder) {
    out << "Transform { translation 3 0 0 }" << EndLine;
    out << "Separator {\t# Directory " << CommentText(folder.m_name) << EndLine;
}

}  // namespace

void WriteGraphWorld(CSocketStream& out, CFolderNode& folder) {
    std::string name = VrmlEscape(folder.m_name);
    out << "DEF Title Info { string \"Graph of " << name << "\"}" << EndLine;
    out << "DEF SceneInfo Info { string \"Graph of " << name
        << " -- Created by Korvane Networks Vantrel \"}" << EndLine;
    out << "DEF Viewer Info { string \"Walk\" }" << EndLine;
    out << "DEF ViewerSpeed Info { string \"5\" }" << EndLine;
    out << "DEF BackgroundColor Info { string  \"0.5 0.5 0.5\" }" << EndLine;
    out << "PerspectiveCamera { position 5 13 80\torientation\t0.3 0.9 0 6.04927 }" << EndLine;
    out << "DirectionalLight {}" << EndLine;
    // Only the models folder is searched, and the grid is referenced rather than pasted.
    if (CFolderNode* models = g_state.m_modelsFolder) {
        if (CNode* grid = models->FindChild("grid.wrl")) {
            out << "WWWInline { name \"" << WriteVrmlUrl(grid) << "\" }" << EndLine;
        }
    }
    folder.WriteSceneObject(out, folder.m_size);
}

void CFolderNode::WriteSceneObject(CSocketStream& out, std::int64_t total) {
    float offset = 0.0f;
    float small = 0.0f;
    bool opened = false;
    // Files (and empty folders) first: each box is placed half of the previous box plus half of
    // its own height above the previous one.
    for (CNode* child = FirstChild(); child; child = child->Next()) {
        if (child->HasChildren()) continue;
        std::int64_t size = child->m_size;
        if (size == 0) continue;
        if (IsSmallShare(size, total)) {
            small += SharePercent(size, total);
            continue;
        }
        if (!opened) {
            OpenRow(out, *this);
            opened = true;
        }
        float height = SharePercent(size, total);
        offset = height / 2 + offset;
        out << "Transform { translation 0 " << offset << " 0 }" << EndLine;
        child->WriteSceneObject(out, total);
        offset = height / 2;
    }
    if (!opened) OpenRow(out, *this);
    offset = small / 2 + offset;
    out << "Transform { translation 0 " << offset << " 0 }" << EndLine;
    WriteSceneModel(out, small);

    out << "WWWAnchor {\n\tname \"" << WriteVrmlUrl(this) << "/?SCENE\" description \""
        << VrmlEscape(GetLabel("")) << "\"" << EndLine;
    out << "Material { diffuseColor 1 1 1 ambientColor 1 1 1 }" << EndLine;
    const COptions& request = out.m_options ? *out.m_options : Options();
    if (request.m_showLabels) {
        out << "Transform { translation 0.5 " << static_cast<double>(small / 2) + 0.5
            << " 0  rotation 0 0 1 1.570796327 scaleFactor .2 .2 .2 }" << EndLine;
        out << "AsciiText { string \"" << VrmlEscape(m_name) << "\" }" << EndLine;
    } else {
        out << "Transform { translation 0 " << static_cast<double>(small / 2) + 0.1 << " 0 }"
            << EndLine;
        out << "Sphere { radius .5 }" << EndLine;
    }
    out << "}" << EndLine << "}" << EndLine;

    // Then the subfolders, one row further back, all scaled to the same total.
    bool anyFolder = false;
    for (CNode* child = FirstChild(); child; child = child->Next()) {
        if (!child->HasChildren()) continue;
        if (!anyFolder) {
            out << "Transform { translation 0 0 -3 }" << EndLine;
            anyFolder = true;
        }
        child->WriteSceneObject(out, total);
    }
    if (anyFolder) out << "Transform { translation 0 0 3 }" << EndLine;
}

void CFileNode::WriteSceneObject(CSocketStream& out, std::int64_t total) {
    WriteSceneModel(out, SharePercent(m_size, total));
}

void CFileNode::WriteSceneModel(CSocketStream& out, float height) {
    out << "WWWAnchor {\n\tname \"" << WriteVrmlUrl(this) << "\" description \""
        << VrmlEscape(GetLabel("")) << "\"" << EndLine;

    // A time in the future is written as computed (red above 1, negative green).
    const CAgeColour colour = AgeColourOf(m_modifiedTime.load());
    float r = static_cast<float>(colour.m_red) / 90.0f;
    float g = static_cast<float>(colour.m_green) / 90.0f;
    float b = static_cast<float>(colour.m_blue) / 90.0f;
    out << "\tMaterial {  diffuseColor " << r << " " << g << " " << b << " ambientColor " << r
        << " " << g << " " << b << " }\n";
    out << "\tCube { width 2 depth 2 height " << height << " }" << EndLine;
    out << "}" << EndLine;
}
