// OpenFailure.h - what a failed open of a file a reply needs means: the reply the client gets
// and whether the operator hears of it. The one place that maps errno for file replies; the
// callers only open, and write their own page for a file that has gone.
#pragma once

#include <string>
#include <string_view>

class CSocketStream;

enum class EOpenReply {
    Gone,         // the caller's not-found reply: the name no longer leads to the file
    Unavailable,  // 503: the server is short of descriptors or memory; try again later
    Failed,       // 500: the file is there but could not be read (an I/O error)
};

struct COpenFailure {
    EOpenReply m_reply = EOpenReply::Gone;
    bool m_logged = false;  // worth one line on standard error
    std::string m_why;      // the line's reason, e.g. "is a link now"
};

// Classifies the errno of a failed open(). A name that went away is the everyday case and
// stays quiet; a link swapped in, a permission taken away and every shortage are logged.
// This function can't fail.
COpenFailure ClassifyOpenError(int error);

// Writes "Not sent: " + `what` + " " + the reason to standard error (escaped) when the failure
// is logged; nothing otherwise.
void LogOpenFailure(std::string_view what, const COpenFailure& failure);

// For Unavailable and Failed writes the whole reply (status line, Server and Date lines, no
// body) and returns true; for Gone writes nothing and returns false, the caller's page follows.
bool AnswerOpenFailure(CSocketStream& out, const COpenFailure& failure);
