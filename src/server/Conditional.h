// Conditional.h - answering "If-Modified-Since" with 304 Not Modified.
#pragma once

#include <ctime>
#include <string_view>

class CSocketStream;

// When the request (GET or HEAD, the only ones answered) carries an If-Modified-Since date
// that can be read and `modified` is not later than it, writes the whole 304 reply and
// returns true; otherwise writes nothing and returns false.
bool AnswerNotModified(CSocketStream& out, std::time_t modified);

// A header block without content: `statusLine`, the Server and Date lines, `extraLines`
// (whole lines with their "\r\n"), the empty line. Logged like the 200 header.
void WriteBodilessHeader(CSocketStream& out, std::string_view statusLine,
                         std::string_view extraLines);
