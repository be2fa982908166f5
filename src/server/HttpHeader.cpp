// HttpHeader.cpp - the 200 header block and its log lines.
#include "server/HttpHeader.h"

#include "server/FolderNode.h"
#include "server/Options.h"
#include "server/RequestHeaders.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

namespace {
constexpr std::string_view kStatus200 = "HTTP/1.0 200 Document follows";

// The site compresses pages (root `gzip`) and this request's Accept-Encoding takes gzip.
bool ClientTakesGzip(const CSocketStream& out) {
    if (!g_state.m_root || !g_state.m_root->Options().m_gzip) return false;
    auto accepted = FindRequestHeader(out.m_requestLines, "Accept-Encoding");
    return accepted && HeaderListAccepts(*accepted, "gzip");
}
}  // namespace

int StatusCodeOf(std::string_view statusLine) {
    std::size_t space = statusLine.find(' ');
    if (space == std::string_view::npos) return 0;
    int code = 0;
    for (std::size_t i = space + 1; i < statusLine.size() && i < space + 4; ++i) {
        if (statusLine[i] < '0' || statusLine[i] > '9') return 0;
        code = code * 10 + (statusLine[i] - '0');
    }
    return code;
}

std::string FormatHttpDate(std::time_t time) {
    // Every reply header carries a date, and most are the same second or the same file as the
    // worker's previous reply: keep the last text per thread instead of formatting again.
    thread_local std::time_t lastTime = 0;
    thread_local std::string lastText;
    if (time == lastTime && !lastText.empty()) return lastText;
    std::tm utc{};
    if (!gmtime_r(&time, &utc)) return {};
    char text[128];  // "Wednesday, 30-Sep-26 23:59:59 GMT" needs 34
    std::size_t length = std::strftime(text, sizeof text, "%A, %d-%b-%y %H:%M:%S GMT", &utc);
    lastTime = time;
    lastText.assign(text, length);
    return lastText;
}

void WriteHttpHeader(CSocketStream& out, std::string_view contentType, std::time_t time,
                     std::int64_t length) {
    WriteHttpHeader(out, contentType, time, length, {});
}

void WriteHttpHeader(CSocketStream& out, std::string_view contentType, std::time_t time,
                     std::int64_t length, std::string_view extraLines) {
    // Only a body of no stated length can be compressed: its end is the connection's end.
    if (length <= 0 && ClientTakesGzip(out) && out.BeginGzipBody()) {
        std::string lines(extraLines);
        lines += "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n";
        WriteReplyHeader(out, kStatus200, contentType, time, length, lines);
        return;
    }
    WriteReplyHeader(out, kStatus200, contentType, time, length, extraLines);
}

void WriteReplyHeader(CSocketStream& out, std::string_view statusLine, std::string_view contentType,
                      std::time_t time, std::int64_t length, std::string_view extraLines) {
    std::string type(contentType);
    if (out.m_options && !out.m_options->m_type.empty()) type = out.m_options->m_type;

    out.m_status = StatusCodeOf(statusLine);
    out << statusLine << EndLine;
    out << "Server: Zephrin/0.9b3" << EndLine;
    if (length != 0) {
        out << "Last-Modified: " << FormatHttpDate(time) << EndLine;
    } else {
        out << "Date: " << FormatHttpDate(std::time(nullptr)) << EndLine;
    }
    if (!type.empty()) out << "Content-type: " << type << EndLine;
    if (length > 0) out << "Content-length: " << length << EndLine;
    out << extraLines;

    if (g_state.m_logRequests) {
        std::string typeLine = type.empty() ? std::string() : "\tContent-type: " + type;
        std::string lengthLine = length > 0 ? "\tContent-length: " + std::to_string(length) : "";
        std::string first = "Reply: " + std::string(statusLine);
        if (!type.empty() && length > 0) {
            LogLines(out.m_threadId, first, {typeLine, lengthLine});
        } else if (!type.empty()) {
            LogLines(out.m_threadId, first, {typeLine});
        } else if (length > 0) {
            LogLines(out.m_threadId, first, {lengthLine});
        } else {
            LogLines(out.m_threadId, first);
        }
    }
    out << EndLine;
    out.BeginBody();
}

void WriteHtmlHeader(CSocketStream& out) {
    WriteHttpHeader(out, "text/html", 0, 0);
}

void WriteDatedHeader(CSocketStream& out, std::string_view contentType) {
    WriteHttpHeader(out, contentType, 0, 0);
}

void WriteModifiedHeader(CSocketStream& out, std::string_view contentType, std::time_t time) {
    WriteHttpHeader(out, contentType, time, -1);
}

void WriteStatusOnly(CSocketStream& out, std::string_view statusLine) {
    out.m_status = StatusCodeOf(statusLine);
    out << statusLine << EndLine << EndLine;
    out.BeginBody();
}
