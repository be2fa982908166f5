// The 200 header block: which date and length lines, the type override, and its log lines.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "server/HttpHeader.h"
#include "server/Options.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"

namespace {

class HeaderTest : public ::testing::Test {
  protected:
    void SetUp() override { g_state.ResetForTests(); }
    void TearDown() override { g_state.ResetForTests(); }
};

constexpr std::time_t kMonday = 1796676230;  // 2026-12-07 20:43:50 UTC

TEST_F(HeaderTest, DatesAreUtcWithEnglishNames) {
    EXPECT_EQ(FormatHttpDate(kMonday), "Monday, 07-Dec-26 20:43:50 GMT");
    EXPECT_EQ(FormatHttpDate(0), "Thursday, 01-Jan-70 00:00:00 GMT");
    EXPECT_EQ(FormatHttpDate(951782400), "Tuesday, 29-Feb-00 00:00:00 GMT");
}

TEST_F(HeaderTest, LengthChoosesTheDateAndLengthLines) {
    struct Case {
        const char* label;
        const char* type;
        const char* requestType;  // null: no request options
        std::int64_t length;
        std::string expected;  // "Date: *" stands for the current time
    } cases[] = {
        {"file of known size", "text/plain", nullptr, 3LL << 30,
         "Last-Modified: Monday, 07-Dec-26 20:43:50 GMT\r\nContent-type: text/plain\r\n"
         "Content-length: 3221225472\r\n"},
        {"generated page", "text/html", nullptr, 0, "Date: *\r\nContent-type: text/html\r\n"},
        {"listing", "text/html", nullptr, -1,
         "Last-Modified: Monday, 07-Dec-26 20:43:50 GMT\r\nContent-type: text/html\r\n"},
        {"no type", "", nullptr, 5,
         "Last-Modified: Monday, 07-Dec-26 20:43:50 GMT\r\nContent-length: 5\r\n"},
        {"request type wins", "text/html", "type=text/plain", 0,
         "Date: *\r\nContent-type: text/plain\r\n"},
        {"request type fills in", "", "type=image/gif", 0,
         "Date: *\r\nContent-type: image/gif\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        COptions options(c.requestType ? c.requestType : "");
        CSocketStream out;
        out.OpenMemory("");
        if (c.requestType) out.m_options = &options;
        WriteHttpHeader(out, c.type, kMonday, c.length);
        out << "body";
        std::string got =
            std::regex_replace(out.TakeOutput(), std::regex("Date: [^\r]*"), "Date: *");
        EXPECT_EQ(got, "HTTP/1.0 200 Document follows\r\nServer: Zephrin/0.9b3\r\n" + c.expected +
                           "\r\nbody");
    }
}

TEST_F(HeaderTest, ShorthandsAndTheirLogLines) {
    CSocketStream out;
    out.OpenMemory("");
    out.m_threadId = 4242;
    g_state.m_logRequests = 1;
    testing::internal::CaptureStdout();
    WriteModifiedHeader(out, "text/html", kMonday);
    WriteDatedHeader(out, "x-world/x-vrml");
    WriteHttpHeader(out, "", kMonday, 12);
    WriteHtmlHeader(out);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log,
              "[4242] Reply: HTTP/1.0 200 Document follows\n\tContent-type: text/html\n"
              "[4242] Reply: HTTP/1.0 200 Document follows\n\tContent-type: x-world/x-vrml\n"
              "[4242] Reply: HTTP/1.0 200 Document follows\n\tContent-length: 12\n"
              "[4242] Reply: HTTP/1.0 200 Document follows\n\tContent-type: text/html\n");
    std::string text = std::regex_replace(out.TakeOutput(), std::regex("Date: [^\r]*"), "Date: *");
    EXPECT_EQ(text,
              "HTTP/1.0 200 Document follows\r\nServer: Zephrin/0.9b3\r\n"
              "Last-Modified: Monday, 07-Dec-26 20:43:50 GMT\r\nContent-type: text/html\r\n\r\n"
              "HTTP/1.0 200 Document follows\r\nServer: Zephrin/0.9b3\r\n"
              "Date: *\r\nContent-type: x-world/x-vrml\r\n\r\n"
              "HTTP/1.0 200 Document follows\r\nServer: Zephrin/0.9b3\r\n"
              "Last-Modified: Monday, 07-Dec-26 20:43:50 GMT\r\nContent-length: 12\r\n\r\n"
              "HTTP/1.0 200 Document follows\r\nServer: Zephrin/0.9b3\r\n"
              "Date: *\r\nContent-type: text/html\r\n\r\n");

    g_state.m_logRequests = 0;
    testing::internal::CaptureStdout();
    WriteHtmlHeader(out);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
