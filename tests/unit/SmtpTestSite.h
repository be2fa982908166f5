// SmtpTestSite.h - a temporary topics folder with mailbox folders "alpha" and "beta" for the
// SMTP and mailbox store tests, and helpers to read what a delivery wrote.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "server/FolderNode.h"
#include "TempTree.h"
#include "server/ServerState.h"
#include "mail/MailboxNode.h"

class CSmtpTestSite {
  public:
    CSmtpTestSite() {
        g_state.ResetForTests();
        m_topics = std::make_unique<CFolderNode>(CFolderNode::NoScan{}, "topics");
        for (const char* name : {"alpha", "beta"})
            AddMailbox(name);
        g_state.m_topicsFolder = m_topics.get();
    }
    ~CSmtpTestSite() {
        g_state.m_topicsFolder = nullptr;
        m_topics.reset();
    }

    CMailboxNode* AddMailbox(const std::string& name) {
        std::filesystem::create_directory(m_dir + "/" + name);
        std::string dirPath = m_dir + "/" + name + "/";
        auto box = std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, name,
                                                  CMailboxNode::FindSpoolFile(dirPath));
        box->m_dirPath = dirPath;
        CMailboxNode* raw = box.get();
        m_topics->AddChild(std::move(box));
        return raw;
    }
    CMailboxNode* Mailbox(const std::string& name) const {
        return static_cast<CMailboxNode*>(m_topics->FindChild(name));
    }
    std::string Path(const std::string& box, const std::string& file = "mailbox") const {
        return m_dir + "/" + box + "/" + file;
    }
    std::string Read(const std::string& box, const std::string& file = "mailbox") const {
        std::ifstream in(Path(box, file), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void Write(const std::string& box, const std::string& file, const std::string& bytes) const {
        std::ofstream(Path(box, file), std::ios::binary) << bytes;
    }
    bool Exists(const std::string& box, const std::string& file = "mailbox") const {
        return std::filesystem::exists(Path(box, file));
    }

    CTempTree m_tree;
    std::string m_dir = m_tree.Path().string();
    std::unique_ptr<CFolderNode> m_topics;
};

// The spool text with every separator line replaced by "SEP\n"; fails the test when a
// separator does not have the expected form.
inline std::string MaskSeparators(const std::string& spool) {
    static const std::regex separator(
        R"(From \?\?\?@\?\?\? (Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n)");
    std::string masked = std::regex_replace(spool, separator, "SEP\n");
    EXPECT_EQ(masked.find("From ???"), std::string::npos) << "malformed separator in " << spool;
    return masked;
}
