// X3dGraphWriter.cpp - the graph of an X3D world: the VRML graph's boxes, rows and colours,
// each box written at its absolute place.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>

#include "server/FolderNode.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "publish/SceneRules.h"
#include "publish/X3dText.h"
#include "publish/X3dWriter.h"

namespace {

constexpr float kFlattest = 0.01f;  // X3D boxes need a size above 0

// X3D colours lie in 0-1, so a time in the future is clamped there.
std::string AgeColour(std::time_t modified) {
    const CAgeColour colour = AgeColourOf(modified);
    auto part = [](std::int64_t v) {
        return X3dNumber(std::clamp(static_cast<double>(static_cast<float>(v) / 90.0f), 0.0, 1.0));
    };
    return part(colour.m_red) + " " + part(colour.m_green) + " " + part(colour.m_blue);
}

}  // namespace

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
