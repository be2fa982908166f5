// FileNode.h - CFileNode, one plain file of the published tree, and the base of folders.
// The core (FileNode.cpp) holds construction, the kind key and the content type; what a file
// looks like to a client (Reply, WriteFileContents, list rows, graph boxes) is in src/publish/.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <ctime>
#include <string>

#include "platform/Fd.h"
#include "server/Node.h"

struct CFindData;
struct COpenFailure;

class CFileNode : public CNode {
  public:
    CFileNode();  // no directory entry (the root): the three times are now, size 0
    explicit CFileNode(const CFindData& entry);

    // --- virtual operations (publish/) ---
    void WriteListEntry(CSocketStream& out) override;                        // Listing.cpp
    void Reply(CSocketStream& out) override;                                 // FileReply.cpp
    void WriteSceneObject(CSocketStream& out, std::int64_t scale) override;  // GraphScene.cpp
    // Copies the file's bytes into the stream, no header; nothing when it cannot be opened.
    void WriteFileContents(CSocketStream& out);  // FileReply.cpp
    // The MIME type of the first type-table entry whose key equals GetKind(); empty if none.
    std::string GetContentType() const;
    // "Folder" with children; else the lower-cased text after the last "." (the whole name
    // without a "."); "Default" when that is empty.
    std::string GetKind() const;
    void WriteSceneModel(CSocketStream& out, float percent);  // GraphScene.cpp
    // What the entry is in machine-readable listings: "file", "folder" or "mailbox".
    virtual const char* KindName() const { return "file"; }

    // Where the file lies: the parent folder's m_dirPath + m_name.
    std::string DiskPath() const;
    // Opens the file for reading only while its name still leads to what the scan saw (a
    // plain file, no link swapped in, the same device and inode); `st` is then its status.
    // On failure an invalid CFd, `failure` says why and its line (if any) is logged.
    CFd OpenPublished(struct stat& st, COpenFailure& failure) const;  // FileReply.cpp

    // What the scan saw (the link's target when it was a link): a reply sends the file only
    // while its name still leads there, so nothing swapped in later is followed.
    dev_t m_device = 0;
    ino_t m_inode = 0;
    bool m_scannedLink = false;

    // Refreshed by each reply while other workers read them, hence atomic.
    std::atomic<std::time_t> m_accessTime{0};
    std::atomic<std::time_t> m_modifiedTime{0};
    std::atomic<std::time_t> m_createdTime{0};
};
