// FileReply.cpp - what a file looks like to a client: its bytes, sent as they are on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "server/ByteRange.h"
#include "server/Conditional.h"
#include "server/FileNode.h"
#include "server/FolderNode.h"
#include "server/HttpHeader.h"
#include "server/OpenFailure.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "platform/Fd.h"
#include "text/AsciiText.h"

namespace {

// "Accept-Ranges: bytes" when the client spoke of ranges or the site says it takes them; an
// old client that never asked keeps the header it always got.
std::string AcceptRangesLine(const CSocketStream& out) {
    bool announce = HasRangeHeader(out) || (g_state.m_root && g_state.m_root->Options().m_ranges);
    return announce ? "Accept-Ranges: bytes\r\n" : "";
}

}  // namespace

// Relative to the folder's directory as the scan opened it, so a folder swapped for a link
// leads nowhere new. O_NONBLOCK: a name that has become a FIFO must not hold the worker in
// open().
CFd CFileNode::OpenPublished(struct stat& st, COpenFailure& failure) const {
    const auto* folder = dynamic_cast<const CFolderNode*>(m_parent);
    const bool relative = folder && folder->m_dirFd.IsValid();
    const std::string path = relative ? m_name : DiskPath();
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (!m_scannedLink) flags |= O_NOFOLLOW;
    CFd fd(::openat(relative ? folder->m_dirFd.Get() : AT_FDCWD, path.c_str(), flags));
    if (!fd.IsValid()) {
        failure = ClassifyOpenError(errno);
    } else if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        failure = {EOpenReply::Gone, true, "is not a plain file now"};
    } else if (m_inode != 0 && (st.st_dev != m_device || st.st_ino != m_inode)) {
        failure = {EOpenReply::Gone, true, "is not the file published at start-up"};
    } else {
        return fd;
    }
    LogOpenFailure(GetPath(), failure);
    return CFd();
}

void CFileNode::Reply(CSocketStream& out) {
    struct stat st;
    COpenFailure failure;
    CFd fd = OpenPublished(st, failure);
    if (!fd.IsValid()) {
        if (AnswerOpenFailure(out, failure)) return;
        // The file named in the tree has gone (or is not a plain file any more). The page
        // names it as every page does, escaped, and never shows where the tree lies on disk.
        out.m_status = 404;
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
    if (AnswerNotModified(out, st.st_mtime)) return;
    const std::string acceptRanges = AcceptRangesLine(out);
    CByteRange range = RequestedRange(out, size, st.st_mtime);
    if (range.m_kind == CByteRange::EKind::Unsatisfiable) {
        WriteBodilessHeader(
            out, "HTTP/1.0 416 Requested Range Not Satisfiable",
            "Content-Range: bytes */" + std::to_string(size) + "\r\n" + acceptRanges);
        return;
    }
    std::int64_t sent = 0;
    if (range.m_kind == CByteRange::EKind::Partial &&
        ::lseek(fd.Get(), range.m_first, SEEK_SET) == range.m_first) {
        WriteReplyHeader(
            out, "HTTP/1.0 206 Partial Content", GetContentType(), st.st_mtime, range.Length(),
            "Content-Range: bytes " + std::to_string(range.m_first) + "-" +
                std::to_string(range.m_last) + "/" + std::to_string(size) + "\r\n" + acceptRanges);
        sent = out.SendFile(fd.Get(), range.Length());
    } else {
        WriteReplyHeader(out, "HTTP/1.0 200 Document follows", GetContentType(), st.st_mtime, size,
                         acceptRanges);
        sent = out.SendFile(fd.Get(), size);
    }
    if (g_state.m_logRequests.load(std::memory_order_relaxed)) {
        LogLines(out.m_threadId, std::to_string(sent) + " bytes sent.");
    }
}

void CFileNode::WriteFileContents(CSocketStream& out) {
    struct stat st;
    COpenFailure failure;
    CFd fd = OpenPublished(st, failure);  // a model that cannot be opened pastes as nothing
    if (!fd.IsValid()) return;
    out.SendFile(fd.Get(), static_cast<std::int64_t>(st.st_size));
}
