// Conditional.cpp - the 304 reply. Whole seconds on both sides: our Last-Modified lines carry
// no fraction, so a client that sends one back must match the file it came from.
#include "server/Conditional.h"

#include "server/HttpDate.h"
#include "server/HttpHeader.h"
#include "server/RequestHeaders.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

bool AnswerNotModified(CSocketStream& out, std::time_t modified) {
    auto value = FindRequestHeader(out.m_requestLines, "If-Modified-Since");
    if (!value) return false;
    std::time_t now = std::time(nullptr);
    std::optional<std::time_t> since = ParseHttpDate(*value, now);
    if (!since || modified > *since) return false;
    WriteBodilessHeader(out, "HTTP/1.0 304 Not Modified", {});
    return true;
}

void WriteBodilessHeader(CSocketStream& out, std::string_view statusLine,
                         std::string_view extraLines) {
    out.m_status = StatusCodeOf(statusLine);
    out << statusLine << EndLine;
    out << "Server: Zephrin/0.9b3" << EndLine;
    out << "Date: " << FormatHttpDate(std::time(nullptr)) << EndLine;
    out << extraLines;
    LogLines(out.m_threadId, "Reply: " + std::string(statusLine));
    out << EndLine;
    out.BeginBody();
}
