// X3dModels.cpp - the models of an X3D world, pasted from X3D twins.
//
// Models come from X3D twins: "room.x3d" beside the "room.wrl" that was found. A twin is an X3D
// document (only what is inside its Scene is pasted) or a bare run of nodes. An empty
// "<ImageTexture/>" in a twin stands for the picture the world puts there (the wall's
// texture, the board's cork, the framed picture); where there is none it is dropped. A twin
// that is missing leaves its object out and says so in a comment.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "server/FolderNode.h"
#include "server/OpenFailure.h"
#include "server/SocketStream.h"
#include "platform/Fd.h"
#include "publish/X3dText.h"
#include "publish/X3dWriter.h"

namespace {

constexpr std::string_view kTextureMark = "<ImageTexture/>";

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

}  // namespace

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
