// OpenFailure.cpp - errno of a failed open to the reply and the log line.
#include "server/OpenFailure.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "server/Conditional.h"
#include "server/LogText.h"

COpenFailure ClassifyOpenError(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENAMETOOLONG:
            return {EOpenReply::Gone, false, "has gone"};
        case ELOOP:  // O_NOFOLLOW met a link where the scan saw a file
            return {EOpenReply::Gone, true, "is a link now"};
        case EMFILE:
        case ENFILE:
        case ENOMEM:
        case ENOBUFS:
            return {EOpenReply::Unavailable, true, std::strerror(error)};
        case EIO:
            return {EOpenReply::Failed, true, std::strerror(error)};
        default:  // EACCES, EPERM and the rest: the file is not ours to send any more
            return {EOpenReply::Gone, true, std::strerror(error)};
    }
}

void LogOpenFailure(std::string_view what, const COpenFailure& failure) {
    if (!failure.m_logged) return;
    std::string line = "Not sent: " + std::string(what) + " " + failure.m_why;
    std::fprintf(stderr, "%s\n", EscapeLogText(line).c_str());
}

bool AnswerOpenFailure(CSocketStream& out, const COpenFailure& failure) {
    switch (failure.m_reply) {
        case EOpenReply::Unavailable:
            WriteBodilessHeader(out, "HTTP/1.0 503 Service Unavailable", "Retry-After: 1\r\n");
            return true;
        case EOpenReply::Failed:
            WriteBodilessHeader(out, "HTTP/1.0 500 Internal Server Error", {});
            return true;
        case EOpenReply::Gone:
            break;
    }
    return false;
}
