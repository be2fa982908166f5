// SocketStream.h - CSocketStream, the two-way text stream of one connection: every renderer
// writes its reply here, and reads the request's options and the worker's thread id from it.
//
// A stream is bound either to a connection of the event loop (OpenReply: gathered output goes
// to the connection's CReplySink when the reply is flushed, passes kSendChunk, before a file
// body, and at Close, which completes the reply; the head was read by the loop) or to memory
// (OpenMemory: input from a string, output kept for TakeOutput; tests and fuzzing drive the
// same request path this way). The stream itself makes no system call but reading files.
// HEAD: once BeginBody() marks the end of the header block, body bytes are dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

#include "server/ReplySink.h"

class COptions;
class CGzipBody;

class CSocketStream {
  public:
    static constexpr std::size_t kSendChunk = 64 * 1024;
    // A file body up to this size is read into the reply instead of sent with sendfile: one
    // send then carries header, body and (at Close) the end of the connection.
    static constexpr std::int64_t kInlineFileBytes = 16 * 1024;

    CSocketStream();  // out of line: CGzipBody is incomplete here
    CSocketStream(const CSocketStream&) = delete;
    CSocketStream& operator=(const CSocketStream&) = delete;
    ~CSocketStream();

    // --- binding ---
    // Reply mode: the reply goes to `sink` (not owned, valid until Close) for the client at
    // `peer`.
    void OpenReply(CReplySink* sink, const sockaddr_storage& peer);
    // Memory mode: the stream reads `input` and keeps everything written.
    void OpenMemory(std::string input);
    std::string TakeOutput();
    // Reply mode: hands the rest of the reply to the sink and completes it.
    void Close();

    // --- reading ---
    enum class ERead { Line, End, TimedOut };
    // Reads up to the next LF (consumed, not stored) or `maxChars` characters, whichever comes
    // first; the rest of a longer line comes back on the next call. End: nothing left to read
    // (`line` is empty). TimedOut is kept for callers written against a socket's read.
    ERead ReadLine(std::string& line, std::size_t maxChars);
    // True when no byte is left to read.
    bool AtEnd() const { return m_inPos == m_in.size(); }

    // --- writing ---
    CSocketStream& operator<<(std::string_view text) {
        Write(text.data(), text.size());
        return *this;
    }
    CSocketStream& operator<<(const char* text) { return *this << std::string_view(text); }
    CSocketStream& operator<<(const std::string& text) { return *this << std::string_view(text); }
    CSocketStream& operator<<(char c) {
        Write(&c, 1);
        return *this;
    }
    CSocketStream& operator<<(int value) { return WriteInteger(value); }
    CSocketStream& operator<<(unsigned value) { return WriteInteger(value); }
    CSocketStream& operator<<(long value) { return WriteInteger(value); }
    CSocketStream& operator<<(unsigned long value) { return WriteInteger(value); }
    CSocketStream& operator<<(long long value) { return WriteInteger(value); }
    CSocketStream& operator<<(unsigned long long value) { return WriteInteger(value); }
    // Fixed-point with 2 decimals after SetFixed2(true) (scenes, the cart); else "%g".
    CSocketStream& operator<<(double value);
    CSocketStream& operator<<(float value);
    CSocketStream& operator<<(CSocketStream& (*manipulator)(CSocketStream&)) {
        return manipulator(*this);
    }
    void Write(const char* data, std::size_t length);
    void SetFixed2(bool on) { m_fixed2 = on; }
    // Hands what is gathered to the sink now; memory mode keeps it.
    void Flush();
    // The lazy flush behind EndLine: sends once a chunk's worth is gathered.
    void FlushIfFull();
    // Sends `length` bytes of the open file `fd` from its current offset as body bytes (the
    // sink sends a larger body straight from the file). Returns the number of bytes sent (0
    // for HEAD).
    std::int64_t SendFile(int fd, std::int64_t length);
    // The header block is complete; with m_headOnly nothing after this is sent.
    void BeginBody();
    // Body bytes (after BeginBody) go out gzip-compressed; false when zlib cannot start, and
    // the body is then plain. FinishBody ends the compressed stream when the reply is done.
    bool BeginGzipBody();
    void FinishBody();
    // False once a write to the peer failed; later output is dropped.
    bool Good() const { return !m_failed; }

    // --- per-request state ---
    unsigned m_threadId = 0;
    COptions* m_options = nullptr;  // the request's options, valid during one HandleRequest
    bool m_headOnly = false;
    // The request's head lines (request line first), valid during one HandleRequest.
    const std::vector<std::string>* m_requestLines = nullptr;
    // For the access log: the reply's status (set by the header writers; 0 before) and the
    // body bytes handed to the stream.
    int m_status = 0;
    std::int64_t m_bodyBytes = 0;
    // The client's address as accept gave it; AF_UNSPEC in memory mode unless a test sets it.
    sockaddr_storage m_peerAddress{};

  private:
    template <typename T>
    CSocketStream& WriteInteger(T value) {
        std::string text = std::to_string(value);
        Write(text.data(), text.size());
        return *this;
    }
    void ResetRequestState();
    // Reads the file into the gathered output (memory mode, small bodies, compressed pages).
    std::int64_t CopyFile(int fd, std::int64_t length);

    CReplySink* m_sink = nullptr;
    bool m_failed = false;
    bool m_fixed2 = false;
    bool m_inBody = false;
    std::string m_in;  // input not yet read (memory mode)
    std::size_t m_inPos = 0;
    std::string m_out;                  // bytes written and not yet handed on
    std::unique_ptr<CGzipBody> m_gzip;  // while a compressed body is written
};

// Writes "\r\n" and flushes (lazily, see above).
CSocketStream& EndLine(CSocketStream& out);
