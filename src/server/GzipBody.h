// GzipBody.h - a gzip stream a reply body is written through (the root keyword `gzip`, for
// clients whose Accept-Encoding takes it). Compressed bytes are appended to the caller's
// buffer as zlib produces them, so a long page leaves in pieces and is never held whole.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <string>

class CGzipBody {
  public:
    // Plain bytes gathered before zlib sees them: pages are written a few bytes at a time,
    // and every deflate call (with its checksum) costs far more than the bytes it is given.
    static constexpr std::size_t kBatchBytes = 32 * 1024;

    CGzipBody();
    ~CGzipBody();
    CGzipBody(const CGzipBody&) = delete;
    CGzipBody& operator=(const CGzipBody&) = delete;

    bool IsValid() const { return m_valid; }
    // Compresses `length` bytes of `data`, appending what zlib gives back to `out` (possibly
    // nothing yet: the bytes may wait in the batch until it fills or the stream ends).
    void Write(const char* data, std::size_t length, std::string& out);
    // Ends the stream (the rest of the data and the gzip trailer) into `out`; later writes
    // are ignored.
    void Finish(std::string& out);

  private:
    void Run(const char* data, std::size_t length, int flush, std::string& out);

    z_stream m_zlib{};
    std::string m_batch;
    bool m_valid = false;
    bool m_finished = false;
};
