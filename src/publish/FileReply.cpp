// FileReply.cpp - what a file looks like to a client: its bytes, sent as they are on disk.
#include <fcntl.h>
#include <sys/stat.h>

#include "Server/FileNode.h"
#include "Server/HttpHeader.h"
#include "Server/ServerState.h"
#include "Server/SocketStream.h"
#include "platform/Fd.h"

void CFileNode::Reply(CSocketStream& out) {
    std::string path = DiskPath();
    CFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.IsValid() || (::fstat(fd.Get(), &st) == 0 && S_ISDIR(st.st_mode))) {
        // The file named in the tree has gone (or is not a file any more).
        WriteStatusOnly(out, "HTTP/1.0 404 FILE NOT FOUND");
        out << "<HEAD><TITLE>File Not Found</TITLE></HEAD><BODY><H1>404 File \"" << path
            << "\" Not Found</H1>The file is not available or may have moved since the server was "
               "started"
            << EndLine;
        return;
    }
    if (::fstat(fd.Get(), &st) == 0) {
        m_size = static_cast<std::int64_t>(st.st_size);
        m_modifiedTime = st.st_mtime;
    }
    std::int64_t size = m_size;
    WriteHttpHeader(out, GetContentType(), m_modifiedTime, size);
    std::int64_t sent = out.SendFile(fd.Get(), size);
    LogLines(out.m_threadId, std::to_string(sent) + " bytes sent.");
}

void CFileNode::WriteFileContents(CSocketStream& out) {
    CFd fd(::open(DiskPath().c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.IsValid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    out.SendFile(fd.Get(), static_cast<std::int64_t>(st.st_size));
}
