// TempTree.h - a fresh directory under the system's temporary folder for one test, removed
// with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

class CTempTree {
  public:
    CTempTree() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
        const char* made = ::mkdtemp(pattern.data());
        EXPECT_NE(made, nullptr) << pattern;
        // Canonical, so paths the server builds from it compare equal to ours.
        if (made) m_path = std::filesystem::canonical(made);
    }
    ~CTempTree() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    CTempTree(const CTempTree&) = delete;
    CTempTree& operator=(const CTempTree&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

    // Writes `bytes` to a file below the directory (after what it holds, with `append`),
    // making the folders on the way.
    std::filesystem::path Write(const std::string& relative, const std::string& bytes,
                                bool append = false) {
        std::filesystem::path path = m_path / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
        out << bytes;
        EXPECT_TRUE(out.good()) << path;
        return path;
    }
    // Empties the directory, for a test that runs several cases one after another.
    void Clear() {
        if (m_path.empty()) return;
        for (const auto& entry : std::filesystem::directory_iterator(m_path))
            std::filesystem::remove_all(entry.path());
    }
    void MakeDir(const std::string& relative) {
        std::filesystem::create_directories(m_path / relative);
    }

  private:
    std::filesystem::path m_path;
};
