// ReplySink.h - CReplySink, where a stream's reply goes when it is bound to a connection of the
// event loop (CReplyQueue); a stream without one keeps its output in memory (tests, fuzzing).
#pragma once

#include <cstdint>
#include <string>

class CReplySink {
  public:
    virtual ~CReplySink() = default;
    // Takes `bytes` (left empty) for the peer; `more`: more follows at once. May wait while
    // the memory held for slow readers is past its bound. False once the peer is gone.
    virtual bool Send(std::string& bytes, bool more) = 0;
    // Takes `length` bytes of the open file `fd` from `offset` (the file stays the caller's).
    // Returns how many bytes the peer gets (fewer when the file is shorter), -1 when gone.
    virtual std::int64_t SendFile(int fd, std::int64_t offset, std::int64_t length) = 0;
    // The reply is complete.
    virtual void Finish() = 0;
};
