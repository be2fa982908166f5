// FileReply.cpp - what a file looks like to a client: its bytes, sent as they are on disk.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Server/FileNode.h"
#include "Server/FolderNode.h"
#include "Server/LogText.h"
#include "Server/HttpHeader.h"
#include "Server/ServerState.h"
#include "Server/SocketStream.h"
#include "platform/Fd.h"

namespace {

// Opens a published file for reading, only if its name still leads to what the scan saw:
// relative to the folder's directory as the scan opened it, not following a link where the
// scan saw none, and the same device and inode. O_NONBLOCK: a name that has become a FIFO
// must not hold the worker in open(). Anything else counts as gone, with one line on
// standard error.
CFd OpenPublishedFile(const CFileNode& file, struct stat& st) {
    const auto* folder = dynamic_cast<const CFolderNode*>(file.m_parent);
    const bool relative = folder && folder->m_dirFd.IsValid();
    const std::string path = relative ? file.m_name : file.DiskPath();
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (!file.m_scannedLink) flags |= O_NOFOLLOW;
    CFd fd(::openat(relative ? folder->m_dirFd.Get() : AT_FDCWD, path.c_str(), flags));
    const char* why = nullptr;
    if (!fd.IsValid()) {
        why = errno == ELOOP ? "is a link now" : std::strerror(errno);
    } else if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "is not a plain file now";
    } else if (file.m_inode != 0 && (st.st_dev != file.m_device || st.st_ino != file.m_inode)) {
        why = "is not the file published at start-up";
    }
    if (!why) return fd;
    std::fprintf(stderr, "%s\n", EscapeLogText("Not sent: " + file.GetPath() + " " + why).c_str());
    return CFd();
}

}  // namespace

void CFileNode::Reply(CSocketStream& out) {
    struct stat st;
    CFd fd = OpenPublishedFile(*this, st);
    if (!fd.IsValid()) {
        // The file named in the tree has gone (or is not a plain file any more). The page
        // names it as every page does, escaped, and never shows where the tree lies on disk.
        out << "HTTP/1.0 404 FILE NOT FOUND" << EndLine << "Content-type: text/html" << EndLine
            << EndLine;
        out.BeginBody();
        out << "<HEAD><TITLE>File Not Found</TITLE></HEAD><BODY><H1>404 File \""
            << EscapeLessThan(m_name)
            << "\" Not Found</H1>The file is not available or may have moved since the server was "
               "started"
            << EndLine;
        return;
    }
    m_size = static_cast<std::int64_t>(st.st_size);
    m_modifiedTime = st.st_mtime;
    std::int64_t size = st.st_size;
    WriteHttpHeader(out, GetContentType(), st.st_mtime, size);
    std::int64_t sent = out.SendFile(fd.Get(), size);
    if (g_state.m_logRequests.load(std::memory_order_relaxed)) {
        LogLines(out.m_threadId, std::to_string(sent) + " bytes sent.");
    }
}

void CFileNode::WriteFileContents(CSocketStream& out) {
    struct stat st;
    CFd fd = OpenPublishedFile(*this, st);
    if (!fd.IsValid()) return;
    out.SendFile(fd.Get(), static_cast<std::int64_t>(st.st_size));
}
