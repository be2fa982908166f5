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

class CTempDir {
  public:
    CTempDir() {
        char pattern[] = "/tmp/vantrel-mail-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        m_path = made ? std::string(made) + "/" : std::string();
    }
    ~CTempDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string Write(const std::string& name, const std::string& text, bool append = false) {
        std::string path = m_path + name;
        std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
        out << text;
        EXPECT_TRUE(out.good()) << path;
        return path;
    }

  private:
    std::string m_path;
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
