// Listing.cpp - what a folder looks like to a web browser: its index file, or an HTML table of
// its children with icons, links, sizes, times and a "New!" marker for recent files.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "server/Conditional.h"
#include "server/FolderNode.h"
#include "server/HttpHeader.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "publish/ListTime.h"
#include "publish/X3dWorld.h"
#include "text/AsciiText.h"

namespace {

constexpr std::time_t kNewWindowSeconds = 10 * 24 * 60 * 60;
constexpr int kSizeColumns = 10;

// The icon of one row: the child's own options pick a scene or topic picture, else its kind's,
// falling back to the generic one.
const CNode* RowIcon(const CFileNode& child) {
    if (!g_state.m_iconsFolder) return nullptr;
    const COptions& own = child.Options();
    std::string wanted;
    if (own.m_viewAs == COptions::EView::kScene) {
        wanted = "scene.gif";
    } else if (own.m_topics) {
        wanted = "topic.gif";
    } else {
        wanted = child.GetKind() + ".gif";
    }
    if (const CNode* icon = FindIcon(wanted)) return icon;
    return FindIcon("Default.gif");
}

// Right-aligned in the size column; a longer number is written whole.
std::string FormatListSize(std::int64_t size) {
    char text[32];
    int length = std::snprintf(text, sizeof text, "%*" PRId64, kSizeColumns, size);
    return std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0);
}

}  // namespace

void CFileNode::WriteListEntry(CSocketStream& out) {
    const std::time_t threshold = std::time(nullptr) - kNewWindowSeconds;
    // Read once: a concurrent reply of this file may refresh them.
    const std::time_t modified = m_modifiedTime.load();
    const std::int64_t size = m_size.load();

    out << "<TD>";
    if (const CNode* icon = RowIcon(*this)) out << "<IMG SRC=\"" << WriteUrl(icon) << "\">";
    out << "</TD><TD WIDTH=40%>";
    CNode::WriteListEntry(out);
    out << "</TD><TD ALIGN=RIGHT>" << FormatListSize(size) << "  </TD><TD ALIGN=RIGHT>"
        << FormatListTime(modified) << "</TD>";
    out << "<TD>";
    if (modified > threshold) {
        if (const CNode* icon = FindIcon("new.gif")) {
            out << "<IMG SRC=\"" << WriteUrl(icon) << "\">";
        } else {
            out << "New!";
        }
    }
    out << "</TD>";
}

void CFolderNode::Reply(CSocketStream& out) {
    if (out.m_options && out.m_options->m_x3d) {
        ReplyX3dWorld(out, *this);
    } else if (out.m_options && out.m_options->m_view) {
        ReplyViewPage(out, *this);
    } else if (out.m_options && out.m_options->m_json) {
        ReplyJson(out);
    } else if (out.m_options && out.m_options->m_viewAs == COptions::EView::kScene) {
        ReplyScene(out);
    } else {
        ReplyListing(out);
    }
}

void CFolderNode::ReplyListing(CSocketStream& out) {
    if (m_indexNode) {
        // The keyword `index` asks for the listing itself, unless the folder forbids it.
        const bool wantsListing =
            out.m_options && out.m_options->m_index == COptions::EIndex::kAsked;
        if (!wantsListing || Options().m_index == COptions::EIndex::kRefused) {
            m_indexNode->Reply(out);
            return;
        }
    }

    if (AnswerNotModified(out, m_modifiedTime.load())) return;
    WriteModifiedHeader(out, "text/html", m_modifiedTime.load());
    const std::string caption = EscapeLessThan(GetLabel("Directory listing for: "));
    out << "<HEAD><TITLE>" << caption << "</TITLE></HEAD>" << EndLine;
    out << "<BODY>" << EndLine;
    out << "<H2>" << caption << "</H2>" << EndLine;

    out << "<HR><TABLE WIDTH=100%><TR>";
    if (m_parent) {
        out << "<TD><A HREF=\"" << WriteUrl(m_parent) << "\">";
        if (const CNode* icon = FindIcon("up.gif")) {
            out << "<IMG BORDER=0 SRC=\"" << WriteUrl(icon) << "\">";
        }
        out << "[UP]</A></TD>";
    }
    out << "<TD ALIGN=RIGHT><A HREF=\"" << WriteUrl(this) << "?SCENE\">[VRML]";
    if (const CNode* icon = FindIcon("vrml.gif")) {
        out << "<IMG SRC=\"" << WriteUrl(icon) << "\">";
    } else {
        out << "VRML";
    }
    out << "</A></TD>";
    if (out.m_options && out.m_options->m_webView) {
        out << "<TD ALIGN=RIGHT><A HREF=\"" << WriteUrl(this) << "?VIEW\">[3D]</A></TD>";
    }
    out << "</TR></TABLE><BR><HR>" << EndLine;

    out << Options().m_head << EndLine;
    out << "<PRE><TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0>" << EndLine;
    for (CNode* child = FirstChild(); child; child = child->Next()) {
        out << "<TR>";
        child->WriteListEntry(out);
        out << "<BR></TR>";
    }
    out << "</TABLE></PRE><HR>" << EndLine;
    out << Options().m_tail << EndLine;
    out << "</BODY>" << EndLine;
}
