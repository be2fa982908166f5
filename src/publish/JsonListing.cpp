// JsonListing.cpp - a folder for scripts: its entries as a JSON array, in the order of the
// HTML listing, each with name, kind, size, modification time (RFC 3339, UTC) and URL.
// A folder with an index file still answers with its entries: a script asked for them.
//
// The document is kept with the folder (JsonCache.h) and made again only when an entry's
// size or time changed, or when absolute URLs are asked for (those carry the host name).
#include <string>

#include "server/FolderNode.h"
#include "server/JsonReply.h"
#include "server/Options.h"
#include "server/Rfc3339.h"
#include "server/SocketStream.h"

namespace {

std::string MakeListing(const CFolderNode& folder, const COptions* options) {
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (CNode* child = folder.FirstChild(); child; child = child->Next()) {
        const auto* entry = dynamic_cast<const CFileNode*>(child);
        if (!entry) continue;  // a folder's children are files and folders only
        entries.push_back({
            {"name", JsonText(entry->m_name)},
            {"kind", entry->KindName()},
            {"size", entry->m_size.load()},
            {"mtime", FormatRfc3339Utc(entry->m_modifiedTime.load())},
            {"url", NodeUrl(*entry, options)},
        });
    }
    return JsonBody(entries);
}

}  // namespace

void CFolderNode::ReplyJson(CSocketStream& out) {
    const COptions* options = out.m_options;
    if (options && options->m_viewAs == COptions::EView::kScene) {
        WriteJsonBody(out, MakeListing(*this, options));
        return;
    }
    std::vector<std::pair<std::int64_t, std::time_t>> stamp;
    stamp.reserve(static_cast<std::size_t>(m_childCount));
    for (CNode* child = FirstChild(); child; child = child->Next()) {
        const auto* entry = dynamic_cast<const CFileNode*>(child);
        if (entry) stamp.emplace_back(entry->m_size.load(), entry->m_modifiedTime.load());
    }
    std::string body;
    {
        std::lock_guard<std::mutex> lock(m_jsonCache.m_lock);
        if (m_jsonCache.m_body.empty() || m_jsonCache.m_stamp != stamp) {
            m_jsonCache.m_body = MakeListing(*this, options);
            m_jsonCache.m_stamp = std::move(stamp);
        }
        body = m_jsonCache.m_body;
    }
    WriteJsonBody(out, body);
}
