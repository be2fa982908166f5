// DirectoryEnum.h - directory enumeration with find data, the stand-in for the platform's
// find-first/find-next: name, attributes, size and the three times of every entry.
// Works on directory descriptors, so a scan never needs the process's current directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "platform/Fd.h"

struct CFindData {
    std::string m_name;
    bool m_isDirectory = false;
    bool m_isHidden = false;   // the name starts with "."
    bool m_isSymlink = false;  // the entry itself is a symbolic link (followed for the rest)
    std::int64_t m_size = 0;   // 64 bits: files over 2 GiB keep their size
    std::time_t m_accessTime = 0;
    std::time_t m_writeTime = 0;
    std::time_t m_creationTime = 0;  // status change time: POSIX keeps no creation time
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

// Opens a directory relative to `atFd` (AT_FDCWD for the current directory); invalid on failure.
CFd OpenDirectory(int atFd, const std::string& path);

// Calls `visit` for every entry of the open directory except "." and "..", in the order the
// file system returns them. Entries that cannot be examined (a dangling link) are passed over.
// Returns false when the enumeration could not start. The descriptor stays open and owned
// by the caller.
bool EnumerateDirectory(int dirFd, const std::function<void(const CFindData&)>& visit);

// Find data of the directory `dirFd` itself (for device/inode loop checks and its times).
bool StatDirectory(int dirFd, CFindData& data);

// The full path of an open directory as the system reports it (no trailing "/").
std::string DirectoryPath(int dirFd);
