// SiteTree.cpp - the published tree snapshot, and the tree each thread reads through.
#include <mutex>

#include "server/FolderNode.h"
#include "server/ServerState.h"

CSiteTree::CSiteTree() = default;
CSiteTree::~CSiteTree() = default;

namespace {

std::mutex g_publishedLock;
std::shared_ptr<CSiteTree>& PublishedSlot() {  // guarded by g_publishedLock
    static std::shared_ptr<CSiteTree> published = std::make_shared<CSiteTree>();
    return published;
}

thread_local CSiteTree* t_building = nullptr;
thread_local std::shared_ptr<CSiteTree> t_pinned;

}  // namespace

namespace SiteTree {

std::shared_ptr<CSiteTree> Published() {
    std::scoped_lock guard(g_publishedLock);
    return PublishedSlot();
}

void Publish(std::shared_ptr<CSiteTree> tree) {
    std::shared_ptr<CSiteTree> old;
    {
        std::scoped_lock guard(g_publishedLock);
        old = std::exchange(PublishedSlot(), std::move(tree));
    }
    // Freed here, outside the lock, unless a request still holds it.
}

CSiteTree& Active() {
    if (t_building) return *t_building;
    // A thread that reads before it ever pinned (start-up, a refused request's reply) pins the
    // published tree, so a reload cannot free what it reads.
    if (!t_pinned) t_pinned = Published();
    return *t_pinned;
}

void PinPublished() {
    t_pinned = Published();
}

void SetBuilding(CSiteTree* tree) {
    t_building = tree;
}

void Unpin() {
    t_pinned.reset();
}

}  // namespace SiteTree

CFolderNode* CSiteRoot::get() const {
    if (t_building) return t_building->m_root.get();
    SiteTree::PinPublished();
    return t_pinned->m_root.get();
}

CSiteRoot& CSiteRoot::operator=(std::unique_ptr<CFolderNode> root) {
    // The scan that built `root` recorded its special folders in the tree this thread sees.
    const CSiteTree& seen = SiteTree::Active();
    auto tree = std::make_shared<CSiteTree>();
    tree->m_topics = seen.m_topics;
    tree->m_models = seen.m_models;
    tree->m_icons = seen.m_icons;
    tree->m_root = std::move(root);
    SiteTree::Unpin();
    SiteTree::Publish(std::move(tree));
    return *this;
}

void CSiteRoot::reset() {
    *this = nullptr;
}
