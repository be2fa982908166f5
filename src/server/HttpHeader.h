// HttpHeader.h - the header block that starts every 200 reply, and its request-log entry.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

class CSocketStream;

// "HTTP/1.0 200 Document follows", "Server: ...", then Last-Modified (`time`, when `length`
// is not 0) or Date (now, when `length` is 0), Content-type (the request's `type` option
// replaces `contentType`; no line when both are empty), Content-length (when `length` > 0),
// an empty line. Logs the reply when the log is on. Marks the start of the body.
void WriteHttpHeader(CSocketStream& out, std::string_view contentType, std::time_t time,
                     std::int64_t length);
// The same with further header lines (each ending in "\r\n") after Content-length.
void WriteHttpHeader(CSocketStream& out, std::string_view contentType, std::time_t time,
                     std::int64_t length, std::string_view extraLines);
// The same block with another status line and `extraLines` (whole lines, each ending in
// "\r\n") before the empty line: partial content and the header lines of optional features.
void WriteReplyHeader(CSocketStream& out, std::string_view statusLine, std::string_view contentType,
                      std::time_t time, std::int64_t length, std::string_view extraLines);
void WriteHtmlHeader(CSocketStream& out);                                 // text/html, now
void WriteDatedHeader(CSocketStream& out, std::string_view contentType);  // now, no length
void WriteModifiedHeader(CSocketStream& out, std::string_view contentType, std::time_t time);

// "%A, %d-%b-%y %H:%M:%S GMT" in UTC, C locale; empty if the time cannot be formatted.
std::string FormatHttpDate(std::time_t time);

// 200 for "HTTP/1.0 200 Document follows"; 0 when the line has no three-digit code.
int StatusCodeOf(std::string_view statusLine);

// Status replies without a header block: the status line, "\r\n\r\n", then the body marker.
void WriteStatusOnly(CSocketStream& out, std::string_view statusLine);
