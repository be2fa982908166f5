// The listing's date cell must be exactly what strftime's "%c" writes in the C locale, for any
// time and time zone: the row format is fixed byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "publish/ListTime.h"

namespace {

std::string Reference(std::time_t time) {
    std::tm local{};
    if (!localtime_r(&time, &local)) return {};
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, "%c", &local));
}

class ListTimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_hadTz = tz != nullptr;
        if (tz) m_oldTz = tz;
    }
    void TearDown() override {
        if (m_hadTz) {
            setenv("TZ", m_oldTz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    bool m_hadTz = false;
    std::string m_oldTz;
};

TEST_F(ListTimeTest, MatchesStrftimeInEveryZoneAndYear) {
    const std::time_t fixed[] = {
        0,
        1,
        951782400,  // leap day 2000
        1796676230,
        1796589830,
        -1,            // a single-digit day; just before the epoch
        253402300799,  // last second of 9999
        253402300800,  // year 10000: past the fixed form
        -30610224000,  // year 1000
        -30610224001,  // year 999
        -62135596800,  // year 1
        1710054000,
        1730592000,  // around the 2024 daylight-saving changes
    };
    for (const char* zone : {"UTC0", "America/New_York", "Asia/Kolkata", "<-0330>3:30"}) {
        setenv("TZ", zone, 1);
        tzset();
        for (std::time_t t : fixed) {
            SCOPED_TRACE(std::string(zone) + " " + std::to_string(t));
            EXPECT_EQ(FormatListTime(t), Reference(t));
        }
        // A spread of times from 1901 to 2106, every field value many times over.
        std::uint64_t state = 12345;
        for (int i = 0; i < 20000; ++i) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            std::time_t t = static_cast<std::time_t>(state >> 31) % 6500000000LL - 2200000000LL;
            ASSERT_EQ(FormatListTime(t), Reference(t)) << zone << " " << t;
        }
    }
}

TEST_F(ListTimeTest, FixedWidthForTheListingColumns) {
    setenv("TZ", "UTC0", 1);
    tzset();
    EXPECT_EQ(FormatListTime(1796676230), "Mon Dec  7 20:43:50 2026");
    EXPECT_EQ(FormatListTime(951782400), "Tue Feb 29 00:00:00 2000");
}

}  // namespace
