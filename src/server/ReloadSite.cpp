// ReloadSite.cpp - the rescan behind SIGHUP and the count of what it changed.
#include "server/ReloadSite.h"

#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "server/FolderNode.h"
#include "server/ServerState.h"

namespace {

struct CSeen {
    enum EKind { kFolder, kFile, kMailbox } m_kind;
    std::int64_t m_size = 0;
    std::time_t m_modified = 0;
    int m_messages = 0;
};

using CSeenMap = std::map<std::string, CSeen>;

// Every node below `folder` by path. Mailboxes are not entered: their children are messages,
// which count as the mailbox changing.
void Collect(const CNode& folder, const std::string& path, CSeenMap& seen) {
    for (const CNode* child = folder.FirstChild(); child; child = child->m_next) {
        const std::string childPath = path + "/" + child->m_name;
        const auto* file = dynamic_cast<const CFileNode*>(child);
        if (!file) continue;
        const std::string kind = file->KindName();
        if (kind == "mailbox") {
            CSeen entry{CSeen::kMailbox};
            for (const CNode* m = child->FirstChild(); m; m = m->m_next)
                ++entry.m_messages;
            seen[childPath] = entry;
        } else if (dynamic_cast<const CFolderNode*>(child)) {
            seen[childPath] = CSeen{CSeen::kFolder};
            Collect(*child, childPath, seen);
        } else {
            seen[childPath] = CSeen{CSeen::kFile, file->m_size.load(), file->m_modifiedTime.load()};
        }
    }
}

void Count(const CSeenMap& before, const CSeenMap& after, CReloadCounts& counts) {
    auto added = [&](CSeen::EKind kind) -> int& {
        return kind == CSeen::kFolder ? counts.m_foldersAdded
               : kind == CSeen::kFile ? counts.m_filesAdded
                                      : counts.m_mailboxesAdded;
    };
    auto removed = [&](CSeen::EKind kind) -> int& {
        return kind == CSeen::kFolder ? counts.m_foldersRemoved
               : kind == CSeen::kFile ? counts.m_filesRemoved
                                      : counts.m_mailboxesRemoved;
    };
    for (const auto& [path, was] : before) {
        auto now = after.find(path);
        if (now == after.end() || now->second.m_kind != was.m_kind) {
            ++removed(was.m_kind);
        } else if (was.m_kind == CSeen::kFile &&
                   (was.m_size != now->second.m_size || was.m_modified != now->second.m_modified)) {
            ++counts.m_filesChanged;
        } else if (was.m_kind == CSeen::kMailbox && was.m_messages != now->second.m_messages) {
            ++counts.m_mailboxesChanged;
        }
    }
    for (const auto& [path, is] : after) {
        auto was = before.find(path);
        if (was == before.end() || was->second.m_kind != is.m_kind) ++added(is.m_kind);
    }
}

}  // namespace

std::string ReloadLine(const CReloadCounts& c) {
    auto pair = [](int plus, int minus) {
        return "+" + std::to_string(plus) + " -" + std::to_string(minus);
    };
    return "Reloaded: folders " + pair(c.m_foldersAdded, c.m_foldersRemoved) + ", files " +
           pair(c.m_filesAdded, c.m_filesRemoved) + " ~" + std::to_string(c.m_filesChanged) +
           ", mailboxes " + pair(c.m_mailboxesAdded, c.m_mailboxesRemoved) + " ~" +
           std::to_string(c.m_mailboxesChanged) + ".\n";
}

bool ReloadSite(CReloadCounts& counts) {
    counts = {};
    // Mail waits from here to the swap: what was stored before is in the spools the new
    // mailboxes read, what comes after is stored through them.
    std::unique_lock<std::shared_mutex> mail(g_state.m_deliveryLock);
    std::shared_ptr<CSiteTree> old = SiteTree::Published();
    if (!old->m_root) return false;
    std::string directory = old->m_root->m_dirPath;
    if (directory.size() > 1 && directory.back() == '/') directory.pop_back();

    auto fresh = std::make_shared<CSiteTree>();
    SiteTree::SetBuilding(fresh.get());  // the scan records its special folders in `fresh`
    fresh->m_root = std::make_unique<CFolderNode>(directory);
    SiteTree::SetBuilding(nullptr);

    CSeenMap before, after;
    Collect(*old->m_root, "", before);
    Collect(*fresh->m_root, "", after);
    Count(before, after, counts);
    SiteTree::Publish(std::move(fresh));
    return true;
}
