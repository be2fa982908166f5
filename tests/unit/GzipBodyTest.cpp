// The gzip body gathers small writes before deflating: a batch flushed out of order, a lost
// remainder or a short output step would send a page that does not unpack to what was written.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "server/GzipBody.h"

namespace {

std::string Gunzip(const std::string& packed) {
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK) return "inflateInit2 failed";
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    zs.avail_in = static_cast<uInt>(packed.size());
    std::string plain;
    int rc = Z_OK;
    while (rc == Z_OK) {
        char chunk[4096];
        zs.next_out = reinterpret_cast<Bytef*>(chunk);
        zs.avail_out = sizeof chunk;
        rc = inflate(&zs, Z_NO_FLUSH);
        plain.append(chunk, sizeof chunk - zs.avail_out);
    }
    bool whole = rc == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    return whole ? plain : "stream not ended: " + std::to_string(rc);
}

// Bytes that do not compress, so the output outgrows several of the output steps.
std::string Noise(std::size_t length, unsigned seed) {
    std::string text(length, '\0');
    for (char& c : text) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return text;
}

TEST(GzipBodyTest, UnpacksToExactlyWhatWasWrittenWhateverThePieces) {
    const std::size_t batch = CGzipBody::kBatchBytes;
    std::string plain;
    std::string packed;
    CGzipBody gzip;
    ASSERT_TRUE(gzip.IsValid());
    auto write = [&](const std::string& piece) {
        plain += piece;
        gzip.Write(piece.data(), piece.size(), packed);
    };
    for (int row = 0; row < 3000; ++row)
        write("<TR><TD>" + std::to_string(row) + "</TD></TR>");
    write(std::string(batch - 1, 'a'));  // fills a batch but one byte
    write("b");                          // exactly fills it
    write(Noise(3 * batch + 17, 1));     // larger than a batch, after a pending remainder
    write("tail");
    write(Noise(batch, 2));  // exactly one batch, with "tail" waiting before it
    gzip.Finish(packed);
    EXPECT_EQ(Gunzip(packed), plain);

    // Nothing after the end reaches the stream, and ending twice adds no second trailer.
    const std::string ended = packed;
    gzip.Write("late", 4, packed);
    gzip.Finish(packed);
    EXPECT_EQ(packed, ended);
}

TEST(GzipBodyTest, AnEmptyBodyIsAValidStream) {
    std::string packed;
    CGzipBody gzip;
    gzip.Finish(packed);
    EXPECT_EQ(Gunzip(packed), "");
}

}  // namespace
