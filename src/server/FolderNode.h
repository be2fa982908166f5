// FolderNode.h - CFolderNode, one directory of the published tree, built by scanning it once
// at start-up (Scan, FolderNode.cpp). The listing and the scenes are in src/publish/.
//
// The scan works on directory descriptors, never on the process's current directory; relative
// `path` values resolve against the folder's own directory. It never loops: a `path` chain or
// a symbolic link back to a directory being scanned is not followed again.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/FileNode.h"
#include "server/JsonCache.h"
#include "platform/Fd.h"

struct CFindData;

// State of one scan: where the parent's directory is open, and the directories on the way
// from the root (device, inode) for the loop guard.
struct CScanContext {
    int m_parentDirFd = -1;       // AT_FDCWD for the root
    std::string m_parentDirPath;  // the parent's m_dirPath, ending in "/"
    std::vector<std::pair<dev_t, ino_t>> m_active;
};

class CFolderNode : public CFileNode {
  public:
    // The root: scans `directory` (default: the current directory) with default options.
    explicit CFolderNode(const std::string& directory = ".");
    // A child folder: name, size and times from the entry, then Scan with the parent's options.
    CFolderNode(CFolderNode* parent, const CFindData& entry, CScanContext& context);
    // An unscanned folder (tests and in-memory trees): name only, default options.
    struct NoScan {};
    CFolderNode(NoScan, std::string name);

    // Fills the folder from the directory `dir` (relative to the context's parent directory):
    // options, vantrel.cfg, title, path, special folders, redirect, children. Cannot fail:
    // a directory that cannot be read leaves the folder without children.
    void Scan(const std::string& dir, const COptions& parentOptions, CScanContext& context);

    // --- virtual operations (publish/) ---
    // ReplyScene when the request options select a scene (`scene`, `graph`), else ReplyListing.
    void Reply(CSocketStream& out) override;                                 // Listing.cpp
    void ReplyScene(CSocketStream& out) override;                            // RoomScene.cpp
    void WriteSceneObject(CSocketStream& out, std::int64_t scale) override;  // GraphScene.cpp
    void ReplyListing(CSocketStream& out);                                   // Listing.cpp
    void ReplyRoom(CSocketStream& out);                                      // RoomScene.cpp
    // The entries as a JSON array, in listing order (query word `json`).
    virtual void ReplyJson(CSocketStream& out);  // JsonListing.cpp
    const char* KindName() const override { return "folder"; }

    std::string m_dirPath;  // full path of the directory scanned, ending in "/"
    // The directory the scan read, kept open: files are opened relative to it, so a folder
    // renamed or swapped for a link later still means the directory that was published.
    CFd m_dirFd;
    std::int64_t m_filesSize = 0;      // plain files directly inside (64 bits)
    CFileNode* m_indexNode = nullptr;  // index.htm or index.html among the children, not owned
    CJsonCache m_jsonCache;            // the last `json` listing (JsonListing.cpp)
};
