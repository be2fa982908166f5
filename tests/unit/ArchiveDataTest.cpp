// The pieces the archive's data replies rest on: UTF-8 checks and the Latin-1 fallback,
// reading mail dates, and the new query words.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "server/Options.h"
#include "server/Rfc3339.h"
#include "server/Utf8.h"
#include "mail/MailDate.h"

namespace {

TEST(ArchiveDataTest, Utf8RejectsWhatRfc3629Forbids) {
    EXPECT_TRUE(IsValidUtf8("plain caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
    for (const char* bad : {"\xe9", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "\x80", "\xff", "ab\xc3"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(IsValidUtf8(bad));
    }
    EXPECT_EQ(Utf8SequenceLength("\xe2\x82"), -1);  // may still be completed
    EXPECT_EQ(Utf8SequenceLength("\xe2\x41"), 0);
    // Each stray byte becomes the character of its value; valid sequences stay.
    EXPECT_EQ(Utf8OrLatin1("caf\xe9 \xc3\xa9\xc3"), "caf\xc3\xa9 \xc3\xa9\xc3\x83");
    EXPECT_EQ(CutAtCharacter("ab\xc3\xa9", 3), "ab");
}

TEST(ArchiveDataTest, MailDatesInTheFormsMailUses) {
    // Zoneless dates are local time: read them in UTC here, and give the zone back after.
    const char* zone = std::getenv("TZ");
    const std::string saved = zone ? zone : "";
    setenv("TZ", "UTC", 1);
    tzset();
    struct Case {
        const char* date;
        const char* expected;  // empty: not a date
    };
    const Case cases[] = {
        {"Mon, 9 Jan 1995 10:11:12 -0800", "1995-01-09T18:11:12Z"},
        {"9 Jan 95 10:11 GMT", "1995-01-09T10:11:00Z"},
        {"Tue, 10 Jan 95 09:00:00 PST", "1995-01-10T17:00:00Z"},
        {"Mon, 09 Jan 2003 10:11:12 +0100 (CET)", "2003-01-09T09:11:12Z"},
        {"Mon Jan  9 10:11:12 1995", "1995-01-09T10:11:12Z"},
        {"Mon Jan 9 1995 10:11:12", "1995-01-09T10:11:12Z"},
        {"09-Jan-1995 10:11:12 EST", "1995-01-09T15:11:12Z"},
        {"Thu, 1 Jan 04 00:00:00 +0000", "2004-01-01T00:00:00Z"},
        {"(no date)", ""},
        {"Mon, 32 Jan 1995 10:11:12", ""},
        {"Mon, 9 Jan 1995 25:11:12", ""},
        {"Wed Feb 9 MET 22:02", ""},
        {"1 Jan 1000 00:00:00 +0100", ""},  // would be year 999
        {"31 Dec 9999 23:59:59 -0100", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.date);
        auto when = ParseMailDate(c.date);
        EXPECT_EQ(when ? FormatRfc3339Utc(*when) : std::string(), c.expected);
    }
    if (zone) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(ArchiveDataTest, QueryWordsAndTheirBounds) {
    COptions options("RAW&MBOX&Atom&json&ID=%3CA@B%3E&FIND=X+Y&START=-5&PERPAGE=0");
    EXPECT_EQ(options.m_raw + options.m_mbox + options.m_atom + options.m_json, 4);
    EXPECT_EQ(options.m_id, "%3CA@B%3E");
    EXPECT_EQ(options.m_find, "X+Y");
    EXPECT_EQ(options.m_start, 0);
    EXPECT_EQ(options.m_perPage, 1);
    COptions plain("sort=DATE");
    EXPECT_EQ(plain.m_start, -1);  // no `start`: the whole page
    EXPECT_EQ(plain.m_hasFind + plain.m_hasId, 0);
    EXPECT_EQ(plain.m_perPage, 500);
}

}  // namespace
