// JsonListing.cpp - a folder for scripts: its entries as a JSON array, in the order of the
// HTML listing, each with name, kind, size, modification time (RFC 3339, UTC) and URL.
// A folder with an index file still answers with its entries: a script asked for them.
#include "Server/FolderNode.h"
#include "Server/JsonReply.h"
#include "Server/Rfc3339.h"
#include "Server/SocketStream.h"

void CFolderNode::ReplyJson(CSocketStream& out) {
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (CNode* child = FirstChild(); child; child = child->Next()) {
        const auto* entry = dynamic_cast<const CFileNode*>(child);
        if (!entry) continue;  // a folder's children are files and folders only
        entries.push_back({
            {"name", JsonText(entry->m_name)},
            {"kind", entry->KindName()},
            {"size", entry->m_size.load()},
            {"mtime", FormatRfc3339Utc(entry->m_modifiedTime.load())},
            {"url", NodeUrl(*entry, out.m_options)},
        });
    }
    WriteJsonReply(out, entries);
}
