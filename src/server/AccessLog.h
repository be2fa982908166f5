// AccessLog.h - the access log of the root keyword `accesslog=PATH` ("-": standard output,
// which the journal takes in service mode): one line per answered request in the Combined
// Log Format, for log analysers and fail2ban-style tools.
#pragma once

#include <ctime>
#include <string>
#include <vector>

class CSocketStream;

// Start-up: opens `path` for appending (created 0644 if missing); an empty path turns the log
// off. False, with a line on standard error, when the file cannot be opened.
bool OpenAccessLog(const std::string& path);
// Opens the same path again and switches to it, so a rotated log is let go (SIGHUP after
// logrotate). Lines of other workers go to the old or the new file, none is lost or split.
void ReopenAccessLog();
void CloseAccessLog();
bool AccessLogIsOpen();

// The line for one reply: client address, `received` (local time), the request line, the
// status, the body bytes, Referer and User-Agent. Outside bytes are escaped (below 0x20,
// 0x7F and above, '"' and '\' as "\xHH"), so a client cannot forge or break lines.
std::string FormatAccessLine(const std::string& client, std::time_t received,
                             const std::vector<std::string>& lines, int status,
                             long long bodyBytes);
// Writes the line of the reply just written on `out`, if the log is open. The log's lock is
// held for the one write call only.
void WriteAccessLog(const CSocketStream& out, const std::vector<std::string>& lines,
                    std::time_t received);
