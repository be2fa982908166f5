// MailTestFiles.h - files for mail tests: a temporary directory removed with its files, and a
// two-message spool (a question and its reply) several suites read.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "TempTree.h"

// The mail suites' view of a CTempTree: paths as strings, the folder's ending in "/".
class CTempDir {
  public:
    const std::string& Path() const { return m_path; }
    std::string Write(const std::string& name, const std::string& text, bool append = false) {
        return m_tree.Write(name, text, append).string();
    }

  private:
    CTempTree m_tree;
    std::string m_path = m_tree.Path().string() + "/";
};

// Two messages: Ann asks, Bob answers through In-Reply-To. The first carries a Received line
// before its From, the second names its sender in a comment. The end-to-end tests read the
// same file.
inline std::string LunchSpool() {
    std::ifstream in(std::string(VANTREL_SOURCE_DIR) + "/tests/data/lunch.mbox", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(text.empty()) << "tests/data/lunch.mbox is missing";
    return text;
}
