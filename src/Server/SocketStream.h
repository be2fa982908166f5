// SocketStream.h - CSocketStream, the two-way text stream of one connection: every renderer
// writes its reply here, and reads the request's options and the worker's thread id from it.
//
// Modes:
//  - reply (the event loop's connections): OpenReply binds the stream to the connection's
//    CReplySink; gathered output goes to it when the reply is flushed, passes kSendChunk, before
//    a file body, and at Close, which completes the reply. The head was read by the loop.
//  - direct: reads and writes go to the accepted socket. Output is gathered in one buffer per
//    reply and sent when the reply is flushed, when it passes kSendChunk, before a read that
//    has to wait for the peer, before a file body sent by sendfile, and at Close (together
//    with the end of the connection). EndLine's flush is therefore a cheap mark, not a system
//    call per line; the bytes on the wire are the same.
//  - buffered: Accept first reads the request into an in-memory buffer (chunks of up to 8000
//    bytes until one ends with "\r\n\r\n" or the peer stops sending); the reply is gathered in
//    memory and Close sends it in pieces of 20000 bytes.
//  - memory (tests and fuzzing): input from a string, output kept for TakeOutput().
// HEAD: once BeginBody() marks the end of the header block, body bytes are dropped.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

#include "Server/ReplySink.h"
#include "platform/Fd.h"

class COptions;
class CGzipBody;

class CSocketStream {
  public:
    static constexpr std::size_t kSendChunk = 64 * 1024;
    // A file body up to this size is read into the reply instead of sent with sendfile: one
    // send then carries header, body and (at Close) the end of the connection.
    static constexpr std::int64_t kInlineFileBytes = 16 * 1024;
    static constexpr std::size_t kBufferedCapacity = 100000;

    CSocketStream();  // out of line: CGzipBody is incomplete here
    CSocketStream(const CSocketStream&) = delete;
    CSocketStream& operator=(const CSocketStream&) = delete;
    ~CSocketStream();

    // --- connection ---
    // Resets the per-request state, blocks in accept; false when accept fails.
    bool Accept(int listenFd);
    // Finishes the reply (sends what is gathered) and closes the client socket.
    void Close();
    // Sends all bytes straight to the socket; false on the first failed send. `flags` are
    // added to the send flags (MSG_MORE: more follows at once).
    bool SendAll(const char* data, std::size_t length, int flags = 0);
    // Next accepts use buffered mode (true) or direct mode (false, the default).
    void SetBufferedMode(bool buffered) { m_wantBuffered = buffered; }
    bool IsBuffered() const { return m_buffered; }
    // Read and write time-outs of accepted sockets, in seconds (0: none).
    void SetTimeouts(int readSeconds, int writeSeconds);
    int ReadTimeout() const { return m_readTimeout; }
    // A read that has to wait for the peer after `deadline` counts as a time-out, so a peer
    // that trickles a byte at a time cannot stretch one read past it. Accept clears it.
    void SetReadDeadline(std::chrono::steady_clock::time_point deadline) {
        m_readDeadline = deadline;
    }
    // From another thread (server stop): shuts the client socket down so a blocked read or
    // write returns at once; sockets accepted later are shut at once too.
    void Interrupt();
    // Reply mode: the reply goes to `sink` (not owned, valid until Close) for the client at
    // `peer`.
    void OpenReply(CReplySink* sink, const sockaddr_storage& peer);
    // Memory mode: the stream reads `input` and keeps everything written.
    void OpenMemory(std::string input);
    std::string TakeOutput();

    // --- reading ---
    enum class ERead { Line, End, TimedOut };
    // Reads up to the next LF (consumed, not stored) or `maxChars` characters, whichever comes
    // first; the rest of a longer line comes back on the next call. End: nothing left to read
    // (`line` is empty). TimedOut: the peer sent nothing within the read time-out.
    ERead ReadLine(std::string& line, std::size_t maxChars);
    // True when no byte is left to read (waits for the peer if nothing is buffered).
    bool AtEnd();

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
    // Sends what is gathered now (direct mode); buffered and memory modes keep it for Close.
    void Flush();
    // The lazy flush behind EndLine: sends once a chunk's worth is gathered.
    void FlushIfFull();
    // Sends `length` bytes of the open file `fd` from its current offset as body bytes
    // (sendfile in direct mode). Returns the number of bytes sent (0 for HEAD).
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
    static constexpr std::chrono::steady_clock::time_point kNoDeadline =
        std::chrono::steady_clock::time_point::max();

    template <typename T>
    CSocketStream& WriteInteger(T value) {
        std::string text = std::to_string(value);
        Write(text.data(), text.size());
        return *this;
    }
    // Fills m_in from the socket; false at end of input, time-out (m_timedOut) or error.
    bool FillInput();
    void ResetRequestState();
    void ReadBufferedRequest();

    std::mutex m_socketLock;  // guards m_socket's changes and m_interrupted against Interrupt
    bool m_interrupted = false;
    CFd m_socket;
    CReplySink* m_sink = nullptr;
    bool m_wantBuffered = false;
    bool m_buffered = false;
    bool m_memory = false;
    bool m_failed = false;
    bool m_timedOut = false;
    bool m_inputEnded = false;
    bool m_fixed2 = false;
    bool m_inBody = false;
    int m_readTimeout = 0;
    std::chrono::steady_clock::time_point m_readDeadline = kNoDeadline;
    int m_writeTimeout = 0;
    std::string m_in;  // bytes received and not yet read
    std::size_t m_inPos = 0;
    std::string m_out;                  // bytes written and not yet sent
    std::unique_ptr<CGzipBody> m_gzip;  // while a compressed body is written
};

// Writes "\r\n" and flushes (lazily, see above).
CSocketStream& EndLine(CSocketStream& out);
