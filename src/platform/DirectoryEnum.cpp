// DirectoryEnum.cpp - opendir/readdir + fstatat behind the find-data interface.
#include "platform/DirectoryEnum.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

namespace {

struct CDirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

void FillFromStat(const struct stat& st, CFindData& data) {
    data.m_isDirectory = S_ISDIR(st.st_mode);
    data.m_size = data.m_isDirectory ? 0 : static_cast<std::int64_t>(st.st_size);
    data.m_accessTime = st.st_atime;
    data.m_writeTime = st.st_mtime;
    data.m_creationTime = st.st_ctime;
    data.m_device = st.st_dev;
    data.m_inode = st.st_ino;
}

}  // namespace

CFd OpenDirectory(int atFd, const std::string& path) {
    return CFd(::openat(atFd, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool EnumerateDirectory(int dirFd, const std::function<void(const CFindData&)>& visit) {
    // readdir consumes its descriptor, so enumerate through a duplicate.
    int dupFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dupFd < 0) return false;
    std::unique_ptr<DIR, CDirCloser> dir(::fdopendir(dupFd));
    if (!dir) {
        ::close(dupFd);
        return false;
    }
    CFindData data;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        struct stat st;
        if (::fstatat(dirFd, name, &st, 0) != 0) continue;  // dangling link, vanished entry
        data.m_name = name;
        data.m_isHidden = name[0] == '.';
        data.m_isSymlink = entry->d_type == DT_LNK;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat lst;
            data.m_isSymlink =
                ::fstatat(dirFd, name, &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode);
        }
        FillFromStat(st, data);
        visit(data);
    }
    return true;
}

bool StatDirectory(int dirFd, CFindData& data) {
    struct stat st;
    if (::fstat(dirFd, &st) != 0) return false;
    FillFromStat(st, data);
    return true;
}

std::string DirectoryPath(int dirFd) {
    std::string link = "/proc/self/fd/" + std::to_string(dirFd);
    char buffer[PATH_MAX];
    ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(length));
}
