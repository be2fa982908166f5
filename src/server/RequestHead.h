// RequestHead.h - CRequestHead, an HTTP request head read from bytes as they arrive: the event
// loop feeds what each receive brought and hands the head on once it is complete, and the
// stream reader (ReadRequest) drives the same rules over a whole input.
//
// Lines come without their line ends (one CR before the LF is dropped); a longer line comes in
// pieces of kMaxRequestLine, each a line of its own. The head is complete at the empty line,
// past kMaxRequestLines lines or kMaxRequestBytes bytes, at the end of input, or right after a
// request line without a version ("GET /"), whose sender sends nothing more.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t kMaxRequestLine = 999;
constexpr std::size_t kMaxRequestLines = 1000;
constexpr std::size_t kMaxRequestBytes = 64 * 1024;

class CRequestHead {
  public:
    // Consumes bytes up to the end of the head; returns how many it took.
    std::size_t Feed(std::string_view bytes);
    // A piece as the stream reader returns it: up to an LF (not included) or kMaxRequestLine
    // characters. Returns Complete().
    bool AddPiece(std::string piece);
    // No more input (end of input, time-out): a partial last line still counts.
    void End();
    bool Complete() const { return m_complete; }
    std::vector<std::string>& Lines() { return m_lines; }

  private:
    std::string m_partial;
    std::vector<std::string> m_lines;
    std::size_t m_bytes = 0;
    bool m_previousFull = false;  // the last piece filled kMaxRequestLine without its LF
    bool m_complete = false;
};

// True when the request line ends in an "HTTP/" version word after a method and a path.
bool HasHttpVersion(std::string_view requestLine);
