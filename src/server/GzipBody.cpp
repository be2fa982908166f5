// GzipBody.cpp - deflate with the gzip wrapper. Level 1: on listings and mail pages it
// compresses about as well as the default level 6 (the rows repeat whole, which the fastest
// match search finds too) at well under half the time, and a page is made for every request.
#include "server/GzipBody.h"

namespace {
constexpr int kGzipWindowBits = 15 + 16;  // 16: gzip header and trailer instead of zlib's
constexpr int kLevel = 1;
constexpr int kMemLevel = 8;
// Room made at the end of the output for each deflate call.
constexpr std::size_t kOutputStep = 16 * 1024;
}  // namespace

CGzipBody::CGzipBody() {
    m_valid = deflateInit2(&m_zlib, kLevel, Z_DEFLATED, kGzipWindowBits, kMemLevel,
                           Z_DEFAULT_STRATEGY) == Z_OK;
    if (m_valid) m_batch.reserve(kBatchBytes);
}

CGzipBody::~CGzipBody() {
    if (m_valid) deflateEnd(&m_zlib);
}

void CGzipBody::Write(const char* data, std::size_t length, std::string& out) {
    if (!m_valid || m_finished || length == 0) return;
    if (m_batch.size() + length < kBatchBytes) {
        m_batch.append(data, length);
        return;
    }
    if (!m_batch.empty()) {
        Run(m_batch.data(), m_batch.size(), Z_NO_FLUSH, out);
        m_batch.clear();
    }
    // A large block goes to zlib as it is; a small remainder starts the next batch.
    if (length >= kBatchBytes) {
        Run(data, length, Z_NO_FLUSH, out);
    } else {
        m_batch.append(data, length);
    }
}

void CGzipBody::Finish(std::string& out) {
    if (!m_valid || m_finished) return;
    Run(m_batch.data(), m_batch.size(), Z_FINISH, out);
    m_batch.clear();
    m_finished = true;
}

void CGzipBody::Run(const char* data, std::size_t length, int flush, std::string& out) {
    // zlib counts in uInt: feed larger blocks in pieces.
    constexpr std::size_t kPiece = 1u << 30;
    do {
        std::size_t piece = length < kPiece ? length : kPiece;
        m_zlib.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        m_zlib.avail_in = static_cast<uInt>(piece);
        data = data ? data + piece : data;
        length -= piece;
        int pieceFlush = length == 0 ? flush : Z_NO_FLUSH;
        do {
            // zlib writes straight into the end of the output, cut back to what it filled.
            std::size_t used = out.size();
            out.resize(used + kOutputStep);
            m_zlib.next_out = reinterpret_cast<Bytef*>(out.data() + used);
            m_zlib.avail_out = static_cast<uInt>(kOutputStep);
            int rc = deflate(&m_zlib, pieceFlush);
            out.resize(used + kOutputStep - m_zlib.avail_out);
            if (rc == Z_STREAM_ERROR) {
                m_finished = true;
                return;
            }
        } while (m_zlib.avail_out == 0);
    } while (length > 0);
}
