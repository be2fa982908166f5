// ViewPage.cpp - the page that shows a folder's X3D world in a web browser.
//
// The viewer loads the world's anchors to other worlds in place; the page then follows to the
// new folder's own page, so the address, the back button and the links stay right. Anchors to
// pages and files open in the window by themselves.
#include <string>

#include "server/FolderNode.h"
#include "server/HttpHeader.h"
#include "server/SocketStream.h"
#include "publish/X3dText.h"
#include "publish/X3dWorld.h"

namespace {

// Only the root's own vantrel.cfg names the viewer: a query must not make a page load its
// script from anywhere it likes.
std::string ViewerBase(const CFolderNode& folder) {
    const CNode* root = &folder;
    while (root->m_parent)
        root = root->m_parent;
    std::string base = root->Options().m_viewer;
    if (!base.empty() && base.back() != '/') base += '/';
    return base;
}

constexpr const char* kStyle =
    "<style>html,body{margin:0;height:100%;overflow:hidden;background:#333}"
    "x3d-canvas{position:absolute;top:0;left:0;width:100%;height:100%}"
    "#links{position:absolute;top:0;left:0;z-index:1;padding:4px 10px;"
    "font:14px sans-serif;background:rgba(255,255,255,0.8)}"
    "#links p{margin:4px 0}</style>";

// Follows the viewer to the page of each world it loads after the first.
constexpr const char* kFollowScript =
    "<script>\n"
    "(function () {\n"
    "  var canvas = document.querySelector(\"x3d-canvas\"), first = null;\n"
    "  canvas.addEventListener(\"load\", function () {\n"
    "    var world = canvas.browser.currentScene.worldURL;\n"
    "    if (first === null) {\n"
    "      first = world;\n"
    "      document.documentElement.setAttribute(\"data-world\", \"loaded\");\n"
    "    } else if (world !== first) {\n"
    "      location.assign(world.replace(/[?#].*$/, \"\") + \"?VIEW\");\n"
    "    }\n"
    "  });\n"
    "})();\n"
    "</script>";

}  // namespace

void ReplyViewPage(CSocketStream& out, CFolderNode& folder) {
    const COptions& request = out.m_options ? *out.m_options : folder.Options();
    const std::string url = NodeUrl(folder, nullptr);
    const std::string world = url + (request.m_graph ? "?X3D&GRAPH" : "?X3D");
    const std::string viewer = ViewerBase(folder);

    WriteHtmlHeader(out);
    out << "<!DOCTYPE html>" << EndLine;
    out << "<HEAD><meta charset=\"utf-8\"><link rel=\"icon\" href=\"data:,\"><TITLE>3D: "
        << XmlText(folder.GetLabel("")) << "</TITLE>" << EndLine;
    if (!viewer.empty()) {
        out << "<script src=\"" << XmlText(viewer) << "x_ite.min.js\"></script>" << EndLine;
    }
    out << kStyle << "</HEAD>" << EndLine << "<BODY>" << EndLine;
    out << "<div id=\"links\"><a href=\"" << XmlText(url) << "\">HTML listing</a> | <a href=\""
        << XmlText(url) << "?SCENE\">VRML world</a>";
    if (folder.m_parent) {
        out << " | <a href=\"" << XmlText(NodeUrl(*folder.m_parent, nullptr))
            << "?VIEW\">parent folder</a>";
    }
    if (viewer.empty()) {
        out << "<p>No 3D viewer is set up on this server: the root folder's vantrel.cfg names "
               "its files with viewer=.</p>";
    }
    out << "</div>" << EndLine;
    if (!viewer.empty()) {
        out << "<x3d-canvas src=\"" << XmlText(world) << "\"></x3d-canvas>" << EndLine;
        out << kFollowScript << EndLine;
    }
    out << "</BODY>" << EndLine;
}
