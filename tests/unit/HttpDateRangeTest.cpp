// Reading client dates (If-Modified-Since, If-Range) and byte ranges: a misread date or range
// answers with the wrong bytes or a wrong "not modified".
#include <gtest/gtest.h>

#include "server/ByteRange.h"
#include "server/HttpDate.h"
#include "server/HttpHeader.h"
#include "server/RequestHeaders.h"

namespace {

constexpr std::time_t k1994 = 784111777;     // Sun, 06 Nov 1994 08:49:37 GMT
constexpr std::time_t kNow = 1796676230;     // 2026-12-07 20:43:50 UTC
constexpr std::time_t kLeapDay = 951782400;  // 2000-02-29 00:00:00 UTC

TEST(HttpDateTest, ReadsTheThreeFormsAndOurOwnHeaders) {
    EXPECT_EQ(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT", kNow), k1994);
    EXPECT_EQ(ParseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT", kNow), k1994);
    EXPECT_EQ(ParseHttpDate("Sun Nov  6 08:49:37 1994", kNow), k1994);
    EXPECT_EQ(ParseHttpDate(" Sun, 06 Nov 1994 08:49:37 GMT; length=34", kNow), k1994);
    EXPECT_EQ(ParseHttpDate("Tue, 29 Feb 2000 00:00:00 GMT", kNow), kLeapDay);
    // What our Last-Modified lines say must read back as the same second.
    EXPECT_EQ(ParseHttpDate(FormatHttpDate(kNow), kNow), kNow);
    EXPECT_EQ(ParseHttpDate(FormatHttpDate(kLeapDay), kNow), kLeapDay);
    // Two-digit years: at most 50 years ahead of now, else the century before.
    EXPECT_EQ(ParseHttpDate("Friday, 01-Jan-76 00:00:00 GMT", kNow),
              ParseHttpDate("Thu, 01 Jan 2076 00:00:00 GMT", kNow));
    EXPECT_EQ(ParseHttpDate("Monday, 01-Jan-77 00:00:00 GMT", kNow),
              ParseHttpDate("Sat, 01 Jan 1977 00:00:00 GMT", kNow));
}

TEST(HttpDateTest, RefusesWhatIsNotADate) {
    for (const char* text :
         {"", "yesterday", "Sun, 06 Nov 1994 08:49:37", "Sun, 06 Nov 1994 08:49:37 CET",
          "Sun, 31 Feb 1994 08:49:37 GMT", "Sun, 06 Nov 1994 24:00:00 GMT",
          "Sun, 06 Nvm 1994 08:49:37 GMT", "Sun, 06 Nov 94 08:49:37 GMT",
          "Sun Nov  6 08:49:37 1994 GMT", "Sun, 06 Nov 1994 08:49:37 GMTx", "1994-11-06T08:49:37Z",
          "Sun, 29 Feb 1900 00:00:00 GMT", "Sun, 06 Nov 1994 8:49:37 GMT"}) {
        EXPECT_FALSE(ParseHttpDate(text, kNow).has_value()) << text;
    }
}

TEST(ByteRangeTest, SingleRangesAgainstTheSize) {
    using EKind = CByteRange::EKind;
    struct Case {
        const char* value;
        std::int64_t size;
        EKind kind;
        std::int64_t first, last;
    } cases[] = {
        {"bytes=0-9", 100, EKind::Partial, 0, 9},
        {"bytes=90-", 100, EKind::Partial, 90, 99},
        {"bytes=-10", 100, EKind::Partial, 90, 99},
        {"bytes=-1000", 100, EKind::Partial, 0, 99},     // longer than the file: all of it
        {"bytes=50-5000", 100, EKind::Partial, 50, 99},  // end cut to the last byte
        {"BYTES = 5 - 5", 100, EKind::Partial, 5, 5},
        {"bytes=99-99", 100, EKind::Partial, 99, 99},
        {"bytes=100-", 100, EKind::Unsatisfiable, 0, 0},
        {"bytes=100-200", 100, EKind::Unsatisfiable, 0, 0},
        {"bytes=-0", 100, EKind::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, EKind::Unsatisfiable, 0, 0},
        {"bytes=-5", 0, EKind::Unsatisfiable, 0, 0},
        // Ignored: the whole file, as without a Range header.
        {"bytes=0-1,5-6", 100, EKind::Whole, 0, 0},
        {"bytes=9-1", 100, EKind::Whole, 0, 0},
        {"bytes=-", 100, EKind::Whole, 0, 0},
        {"bytes=a-b", 100, EKind::Whole, 0, 0},
        {"bytes=+1-2", 100, EKind::Whole, 0, 0},
        {"items=0-1", 100, EKind::Whole, 0, 0},
        {"bytes 0-1", 100, EKind::Whole, 0, 0},
        {"bytes=99999999999999999999-", 100, EKind::Whole, 0, 0},
    };
    for (const Case& c : cases) {
        CByteRange range = ParseByteRange(c.value, c.size);
        EXPECT_EQ(range.m_kind, c.kind) << c.value;
        if (c.kind == EKind::Partial) {
            EXPECT_EQ(range.m_first, c.first) << c.value;
            EXPECT_EQ(range.m_last, c.last) << c.value;
        }
    }
}

TEST(RequestHeadersTest, LookupAndAcceptLists) {
    std::vector<std::string> lines = {"GET /Range: x HTTP/1.0", "User-Agent: a:b",
                                      "accept-encoding:  gzip, br ", "Range: bytes=1-2"};
    EXPECT_EQ(FindRequestHeader(&lines, "ACCEPT-ENCODING"), "gzip, br");
    EXPECT_EQ(FindRequestHeader(&lines, "user-agent"), "a:b");
    EXPECT_EQ(FindRequestHeader(&lines, "Range"), "bytes=1-2");  // not the request line
    EXPECT_FALSE(FindRequestHeader(&lines, "Referer").has_value());
    EXPECT_FALSE(FindRequestHeader(nullptr, "Range").has_value());

    EXPECT_TRUE(HeaderListAccepts("gzip", "gzip"));
    EXPECT_TRUE(HeaderListAccepts("deflate, GZIP;q=0.5", "gzip"));
    EXPECT_FALSE(HeaderListAccepts("gzip;q=0", "gzip"));
    EXPECT_FALSE(HeaderListAccepts("gzip; q=0.000", "gzip"));
    EXPECT_FALSE(HeaderListAccepts("x-gzip, deflate", "gzip"));
    EXPECT_FALSE(HeaderListAccepts("", "gzip"));
}

}  // namespace
