// FuzzSite.h - a throw-away directory for fuzz targets that need real files: made once per
// process under /tmp, removed at exit. Targets build their trees in it and scan them once.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

class CFuzzDir {
  public:
    CFuzzDir() {
        char pattern[] = "/tmp/vantrel-fuzz-XXXXXX";
        if (!::mkdtemp(pattern)) {
            std::perror("mkdtemp");
            std::abort();
        }
        m_path = pattern;
    }
    ~CFuzzDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    CFuzzDir(const CFuzzDir&) = delete;
    CFuzzDir& operator=(const CFuzzDir&) = delete;

    // Writes `bytes` to `relative` (parent folders made as needed); returns the full path.
    std::string Write(const std::string& relative, std::string_view bytes) const {
        std::filesystem::path path = m_path + "/" + relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    std::string Path(const std::string& relative) const { return m_path + "/" + relative; }

  private:
    std::string m_path;
};

// True when `text` holds `needle`; fuzz checks trap on it so the artifact shows the input.
inline bool Holds(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}
