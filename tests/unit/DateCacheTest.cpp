// Header dates are remembered per worker thread: a repeated time must give its own text back,
// and any other time (earlier, later, the epoch) must never get the remembered one.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>

#include "server/HttpHeader.h"

namespace {

TEST(DateCacheTest, RepeatedAndAlternatingTimesKeepTheirOwnText) {
    struct Case {
        std::time_t time;
        const char* text;
    };
    const Case sequence[] = {
        {1796676230, "Monday, 07-Dec-26 20:43:50 GMT"},
        {1796676230, "Monday, 07-Dec-26 20:43:50 GMT"},
        {1796676231, "Monday, 07-Dec-26 20:43:51 GMT"},
        {1796676230, "Monday, 07-Dec-26 20:43:50 GMT"},
        {0, "Thursday, 01-Jan-70 00:00:00 GMT"},
        {0, "Thursday, 01-Jan-70 00:00:00 GMT"},
        {951782400, "Tuesday, 29-Feb-00 00:00:00 GMT"},
    };
    for (const Case& c : sequence) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(FormatHttpDate(c.time), c.text);
    }
    // Another thread starts with nothing remembered, whatever this one formatted last.
    std::string other;
    std::thread([&] { other = FormatHttpDate(0); }).join();
    EXPECT_EQ(other, "Thursday, 01-Jan-70 00:00:00 GMT");
}

}  // namespace
