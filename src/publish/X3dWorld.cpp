// X3dWorld.cpp - the room, hall and graph worlds in X3D's XML encoding.
//
// The choices are the VRML world's, made on the same .wrl lookups, so both worlds of a folder
// hold the same objects in the same places. What differs is the language: VRML 1.0 piles
// transforms and materials up as it goes, X3D nests them, so every object is written inside
// one Transform at its absolute place, and each shape carries its own appearance.
#include "publish/X3dWorld.h"

#include <string>
#include <string_view>

#include "server/FolderNode.h"
#include "server/HttpHeader.h"
#include "server/SocketStream.h"
#include "publish/X3dText.h"
#include "publish/X3dWriter.h"

namespace {

constexpr const char* kCredit = " -- Created by Korvane Networks Vantrel ";
// Anchors to pages and files rather than worlds: a browser viewer opens them in the window.
constexpr const char* kPageTarget = " parameter='\"target=_top\"'";

}  // namespace

std::string CX3dWriter::Url(const CNode& node) {
    return NodeUrl(node, nullptr);
}

std::string CX3dWriter::Point(double x, double y, double z) {
    return X3dNumber(x) + " " + X3dNumber(y) + " " + X3dNumber(z);
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

void ReplyX3dWorld(CSocketStream& out, CFolderNode& folder) {
    WriteDatedHeader(out, "model/x3d+xml");
    const COptions& request = out.m_options ? *out.m_options : folder.Options();
    CX3dWriter(out).Document(folder, request.m_graph != 0);
}
