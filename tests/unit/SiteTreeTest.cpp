// The published tree and the tree a request pinned: a request keeps its tree across a
// reload's swap, and the old tree goes when its last request lets go.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "server/FolderNode.h"
#include "server/ServerState.h"

namespace {

TEST(SiteTreeTest, ARequestKeepsItsTreeAcrossASwap) {
    g_state.m_root = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "first");
    std::weak_ptr<CSiteTree> first = SiteTree::Published();
    CFolderNode* seen = nullptr;
    std::string nameAfterSwap, nameNextRequest;
    std::atomic<int> step{0};
    std::thread request([&] {
        seen = g_state.m_root.get();  // the dispatcher's pin
        step = 1;
        while (step != 2)
            std::this_thread::yield();
        nameAfterSwap = g_state.m_root->m_name;
        nameNextRequest = g_state.m_root.get()->m_name;
        SiteTree::Unpin();
    });
    while (step != 1)
        std::this_thread::yield();
    EXPECT_EQ(seen->m_name, "first");
    // A reload publishes a new tree while the request is still running.
    auto second = std::make_shared<CSiteTree>();
    second->m_root = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "second");
    SiteTree::Publish(second);
    second.reset();
    EXPECT_FALSE(first.expired()) << "freed under a request in progress";
    step = 2;
    request.join();
    EXPECT_EQ(nameAfterSwap, "first");
    EXPECT_EQ(nameNextRequest, "second");
    EXPECT_TRUE(first.expired()) << "the old tree outlived its last request";
    EXPECT_EQ(g_state.m_root->m_name, "second");
    g_state.ResetForTests();
}

}  // namespace
