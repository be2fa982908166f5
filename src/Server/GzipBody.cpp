// GzipBody.cpp - deflate with the gzip wrapper. Level 6 (zlib's default): pages are HTML and
// VRML text that shrink several times over, and higher levels cost more than they save.
#include "Server/GzipBody.h"

namespace {
constexpr int kGzipWindowBits = 15 + 16;  // 16: gzip header and trailer instead of zlib's
constexpr int kLevel = 6;
constexpr int kMemLevel = 8;
}  // namespace

CGzipBody::CGzipBody() {
    m_valid = deflateInit2(&m_zlib, kLevel, Z_DEFLATED, kGzipWindowBits, kMemLevel,
                           Z_DEFAULT_STRATEGY) == Z_OK;
}

CGzipBody::~CGzipBody() {
    if (m_valid) deflateEnd(&m_zlib);
}

void CGzipBody::Write(const char* data, std::size_t length, std::string& out) {
    if (!m_valid || m_finished || length == 0) return;
    Run(data, length, Z_NO_FLUSH, out);
}

void CGzipBody::Finish(std::string& out) {
    if (!m_valid || m_finished) return;
    Run(nullptr, 0, Z_FINISH, out);
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
        char chunk[16384];
        do {
            m_zlib.next_out = reinterpret_cast<Bytef*>(chunk);
            m_zlib.avail_out = sizeof chunk;
            int rc = deflate(&m_zlib, pieceFlush);
            if (rc == Z_STREAM_ERROR) {
                m_finished = true;
                return;
            }
            out.append(chunk, sizeof chunk - m_zlib.avail_out);
        } while (m_zlib.avail_out == 0);
    } while (length > 0);
}
