// MailTestFiles.h - a temporary directory for mailbox tests, removed with its files.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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
