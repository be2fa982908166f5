// Header value extractors and the date key: examples, cuts and awkward inputs.
#include <gtest/gtest.h>

#include <string>

#include "mail/HeaderValues.h"

namespace {

struct Case {
    const char* line;
    const char* expected;
};

TEST(HeaderValuesTest, EnvelopeDateMovesTheYearInFrontOfTheTime) {
    const Case cases[] = {
        {"From ???@??? Mon Jan  9 10:11:12 1995", "Mon Jan 9 1995 10:11:12"},
        {"From x Mon Jan  9 10:11:12 1995", "Mon Jan 9 1995 10:11:12"},
        {"From <ann@host> Tue Feb 14 08:00:00 1995", "Tue Feb 14 1995 08:00:00"},
        {"From ann@host Tue Feb 14 08:00:00 1995 remote from x", "Tue Feb 14 1995 08:00:00"},
        {"From x Wed Feb  9 22:02 MET 2000", "Wed Feb 9 MET 22:02"},
        {"From x", "    "},  // every word missing: still four spaces
        {"From ", "    "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(EnvelopeDate(c.line), c.expected);
    }
    std::string longLine = "From x Mon Jan 9 10:11:12 " + std::string(200, '9');
    EXPECT_EQ(EnvelopeDate(longLine).size(), 80u);
}

TEST(HeaderValuesTest, HeaderDateSkipsOneByteAfterTheColonAndCuts) {
    const Case cases[] = {
        {"Date: Mon, 9 Jan 1995 10:11:12 -0800", "Mon, 9 Jan 1995 10:11:12 -0800"},
        {"Sent:    Friday, September 26, 1997", "Friday, September 26, 1997"},
        {"Date:Xabc", "abc"},  // the byte after the colon is skipped whatever it is
        {"Date:", "(no date)"},
        {"Date: ", "(no date)"},
        {"Date:\tFri,", "Fri,"},
        {"Date:   ", ""},  // a value of white space only is an empty date, not "(no date)"
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(HeaderDate(c.line), c.expected);
    }
    EXPECT_EQ(HeaderDate("Date: " + std::string(300, 'x')), std::string(80, 'x'));
}

TEST(HeaderValuesTest, ParseSenderNameAndAddress) {
    struct SenderCase {
        const char* line;
        const char* name;
        const char* address;
    };
    const SenderCase cases[] = {
        {"From: John Doe <user@host>", "John Doe", "user@host"},
        {"From: \"John Doe\" <user@host>", "John Doe", "user@host"},
        {"From: user@host (John Doe)", "John Doe", "user@host"},
        {"From: user@host", "user@host", "user@host"},
        {"From: <user@host>", "", "user@host"},
        {"From: postmaster", "(no name)", "(no email)"},
        {"From:user@host", "user@host", "user@host"},
        {"From: Ann Lee <ann@host>", "Ann Lee", "ann@host"},
        {"From: bob@host (Bob)", "Bob", "bob@host"},
        {"From: user@[10.0.0.1]", "user@", "user@"},
        {"From: postmaster (Mail System)", "Mail System", "postmaster"},
        {"From: \t\"Tab\"\t<t@h>", "Tab", "t@h"},
        {"From: A<a@b>", "", "a@b"},  // the one byte before "<" is dropped
        // Control bytes end an address token, so nothing after them reaches a link.
        {"From: x\fuser@host\x01onclick=y", "user@host", "user@host"},
        {"From: a@b\r", "a@b", "a@b"},
        {"From: x\f<user@host\x01y>", "x", "user@host"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto [name, address] = ParseSender(c.line);
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(address, c.address);
    }
    auto [longName, longAddress] =
        ParseSender("From: " + std::string(200, 'n') + " <" + std::string(200, 'a') + "@h>");
    EXPECT_EQ(longName, std::string(80, 'n'));
    EXPECT_EQ(longAddress, std::string(80, 'a'));
}

TEST(HeaderValuesTest, MessageIdAndSubject) {
    const Case ids[] = {
        {"Message-Id: <1@host>", "1@host"},
        {"Message-ID: <a\\b@c>", "ab@c"},
        {"Message-Id: <open@host", "open@host"},
        {"Message-Id: 1@host", ""},
        {"Message-Id: <>", ""},
    };
    for (const auto& c : ids) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(MessageIdValue(c.line), c.expected);
    }
    EXPECT_EQ(MessageIdValue("Message-Id: <" + std::string(100, 'i') + ">"), std::string(80, 'i'));

    const Case subjects[] = {
        {"Subject: Re: lunch  ", "Re: lunch"},
        {"Subject: lunch?", "lunch?"},
        {"Subject:", ""},
        {"Subject: ", ""},
        {"Subject:  \t  spaced\t ", "spaced"},
        {"Subject:Xab", "ab"},
    };
    for (const auto& c : subjects) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(SubjectValue(c.line), c.expected);
    }
    // The cut comes before the trim: 100 bytes, then trailing spaces removed.
    EXPECT_EQ(SubjectValue("Subject: " + std::string(99, 's') + "  tail"), std::string(99, 's'));
    EXPECT_EQ(SubjectValue("Subject: " + std::string(150, 's')), std::string(100, 's'));
}

TEST(HeaderValuesTest, ReplyReferenceRulesInOrder) {
    const Case cases[] = {
        {"In-Reply-To: <1@host>", "1@host"},
        {"    <456@host>", "456@host"},
        {"In-Reply-To: <a\\b@c>; from x on Mon", "ab@c"},
        {"In-Reply-To: Your message of \"Mon, 09 Jan 95 10:11:12 PST.\"",
         "Mon, 09 Jan 95 10:11:12 PST"},
        {"In-Reply-To: x's message of Mon, 9 Jan 1995 from y", "Mon, 9 Jan 1995"},
        {"In-Reply-To: mail dated: Mon, 9 Jan 1995. More", "Mon, 9 Jan 1995"},
        {"In-Reply-To: mail dated: <x@y>", "<x@y>"},  // "dated: " wins over "<"
        {"In-Reply-To: Your message of Mon", "Mon"},
        {"In-Reply-To: nothing useful", ""},
        {"In-Reply-To: Your message of", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(ReplyReference(c.line), c.expected);
    }
    EXPECT_EQ(ReplyReference("In-Reply-To: dated: " + std::string(300, 'd')),
              std::string(240, 'd'));
    EXPECT_EQ(ReplyReference("In-Reply-To: <" + std::string(300, 'd')), std::string(80, 'd'));
    // Cut before reaching "f": nothing more is dropped.
    EXPECT_EQ(ReplyReference("In-Reply-To: sage of " + std::string(300, 'd') + " from"),
              std::string(240, 'd'));
}

TEST(HeaderValuesTest, MonthAndWeekdayNumbers) {
    EXPECT_EQ(MonthNumber("Jan"), "01");
    EXPECT_EQ(MonthNumber("december"), "12");
    EXPECT_EQ(MonthNumber("SEPT"), "09");
    EXPECT_EQ(MonthNumber("Ja"), "");
    EXPECT_EQ(MonthNumber("Juni"), "06");
    EXPECT_EQ(MonthNumber("9"), "");
    EXPECT_EQ(WeekdayNumber("Mon"), "01");
    EXPECT_EQ(WeekdayNumber("sunday"), "07");
    EXPECT_EQ(WeekdayNumber("Jan"), "");
    EXPECT_EQ(WeekdayNumber(""), "");
}

TEST(HeaderValuesTest, DateKeys) {
    const Case cases[] = {
        {"Mon, 9 Jan 1995 10:11:12 -0800", "01/09/95 10:11"},
        {"Mon Jan 9 1995 10:11:12", "01/09/95 10:11"},
        {"(no date)", "(no date)"},
        {"06 Aug 1997 16:46:45 -0700", "08/06/97 16:46"},
        {"Mon, 29 Sep 97 11:11:00 S", "09/29/97 11:11"},
        {"Thu, 1 Dec 1994 9:05 GMT", "12/01/94 09:05"},
        // Not an English weekday: the words fall into the wrong places, as with any odd date.
        {"Donnerstag, 13 Juni 2002 06:03:33 0100", "/Donnerstag/ni 02002"},
        {"Thu, 30 May 0102 22:35:21 +0100", "05/30/02 22:35"},
        {"Fri,", "// "},
        {"", "// "},
        {"1-Jan-1995 10:00", "01/01/95 10:00"},
        {"Mon, 9 Foo 1995 12", "/09/95 012"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(BuildDateKey(c.line), c.expected);
    }
}

}  // namespace

// The date order reads the whole year, two-digit years as RFC 5322 does, so a list crosses
// the century in order; the shown key above keeps its two digits.
TEST(HeaderValuesDateOrder, FullYearFirst) {
    const Case cases[] = {
        {"Mon, 9 Jan 1995 10:11:12 -0800", "1995010910:11"},
        {"Mon Jan 9 1995 10:11:12", "1995010910:11"},
        {"Fri, 31 Dec 99 23:59", "1999123123:59"},
        {"Sat, 1 Jan 00 00:01", "2000010100:01"},
        {"1 Jan 49 10:00", "2049010110:00"},
        {"1 Jan 50 10:00", "1950010110:00"},
        {"1 Jan 102 10:00", "2002010110:00"},
        {"Thu, 1 Dec 2026 9:05 GMT", "2026120109:05"},
        {"(no date)", "(no date)"},
        {"Fri,", "00000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(BuildDateOrder(c.line), c.expected);
    }
    EXPECT_LT(BuildDateOrder("(no date)"), BuildDateOrder("Fri,"));
}
