// How a spool is cut into messages and which header values each one gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MailTestFiles.h"
#include "mail/SpoolReader.h"

namespace {

struct Read {
    std::vector<CSpoolMessage> messages;
    std::int64_t next = 0;
};

Read ReadAll(const std::string& text, std::int64_t base = 0) {
    Read result;
    result.next = CSpoolReader::ReadText(
        text, base, [&](const CSpoolMessage& m) { result.messages.push_back(m); });
    return result;
}

std::vector<std::string> Subjects(const Read& read) {
    std::vector<std::string> subjects;
    for (const auto& m : read.messages)
        subjects.push_back(m.m_subject);
    return subjects;
}

TEST(SpoolReaderTest, LunchSpoolGivesTwoCompleteRecords) {
    std::string text = LunchSpool();
    Read read = ReadAll(text);
    ASSERT_EQ(read.messages.size(), 2u);
    const CSpoolMessage& first = read.messages[0];
    EXPECT_EQ(first.m_offset, 0);
    EXPECT_EQ(first.m_fromName, "Ann Lee");
    EXPECT_EQ(first.m_fromAddress, "ann@host");
    EXPECT_EQ(first.m_date, "Mon Jan 09 1995 10:11:12");
    EXPECT_EQ(first.m_messageId, "1@host");
    EXPECT_EQ(first.m_subject, "lunch?");
    EXPECT_EQ(first.m_inReplyTo, "");
    const CSpoolMessage& second = read.messages[1];
    EXPECT_EQ(second.m_offset, static_cast<std::int64_t>(text.find("From ???@??? Mon Jan 09 11")));
    EXPECT_EQ(first.m_endOffset, second.m_offset);
    EXPECT_EQ(second.m_fromName, "Bob");
    EXPECT_EQ(second.m_fromAddress, "bob@host");
    EXPECT_EQ(second.m_date, "Mon Jan 09 1995 11:00:00");
    EXPECT_EQ(second.m_messageId, "");
    EXPECT_EQ(second.m_subject, "Re: lunch?");
    EXPECT_EQ(second.m_inReplyTo, "1@host");
    EXPECT_EQ(read.next, static_cast<std::int64_t>(text.size()));
}

TEST(SpoolReaderTest, HeaderBlocksAndDefaults) {
    struct Case {
        const char* label;
        std::string text;
        std::vector<std::string> subjects;
        std::vector<std::string> dates;
    };
    const Case cases[] = {
        {"no envelope line", "Subject: x\n\nbody\n", {"x"}, {"(no date)"}},
        {"date line without envelope",
         "Subject: x\nDate: Mon, 9 Jan 1995\n\nb\n",
         {"x"},
         {"Mon, 9 Jan 1995"}},
        {"empty lines before the first envelope",
         "\n\nFrom a Mon Jan  9 10:11:12 1995\nSubject: s\n\nb\n",
         {"(no subject)", "s"},
         {"(no date)", "Mon Jan 9 1995 10:11:12"}},
        {"second subject wins, sent replaces date",
         "Subject: one\nSubject: two\nDate: d1\nSent: d2\n\n",
         {"two"},
         {"d2"}},
        {"empty subject stays empty", "Subject:\n\n", {""}, {"(no date)"}},
        {"envelope date only counts in its own message",
         "From a Mon Jan  9 10:11:12 1995\n\nb\nFrom: x@y\n\nc\n",
         {"(no subject)", "(no subject)"},
         {"Mon Jan 9 1995 10:11:12", "(no date)"}},
        {"ignored header lines cannot end the block",
         "Subject: s\nX-Subject: no\nReceived: r\nCc: c\nFlags: f\nReturn-Path: p\n\n",
         {"s"},
         {"(no date)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Read read = ReadAll(c.text);
        EXPECT_EQ(Subjects(read), c.subjects);
        std::vector<std::string> dates;
        for (const auto& m : read.messages)
            dates.push_back(m.m_date);
        EXPECT_EQ(dates, c.dates);
    }
}

TEST(SpoolReaderTest, EmptyLinesBeforeTheFirstEnvelopeMakeAnEmptyMessage) {
    Read read = ReadAll("\nFrom a Mon Jan  9 10:11:12 1995\nFrom: A <a@b>\n\n");
    ASSERT_EQ(read.messages.size(), 2u);
    EXPECT_EQ(read.messages[0].m_fromName, "");
    EXPECT_EQ(read.messages[0].m_fromAddress, "");
    EXPECT_EQ(read.messages[1].m_offset, 1);
    EXPECT_EQ(read.messages[1].m_fromName, "A");
}

TEST(SpoolReaderTest, SeparatorsInBodies) {
    {
        SCOPED_TRACE("a body From: line starts a message with that header line");
        Read read = ReadAll("Subject: a\n\ntext\nFrom: someone\nSubject: b\n\nmore\n");
        ASSERT_EQ(read.messages.size(), 2u);
        EXPECT_EQ(read.messages[1].m_fromName, "(no name)");
        EXPECT_EQ(read.messages[1].m_fromAddress, "(no email)");
        EXPECT_EQ(read.messages[1].m_subject, "b");
        EXPECT_EQ(read.messages[1].m_offset, 17);
    }
    {
        SCOPED_TRACE("only the line right after a forwarded marker stays in the body");
        Read read = ReadAll(
            "Subject: a\n\n---------- Forwarded message: ----------\nFrom: a@b\nFrom: c@d\n\n");
        ASSERT_EQ(read.messages.size(), 2u);
        EXPECT_EQ(read.messages[1].m_fromAddress, "c@d");
    }
    {
        SCOPED_TRACE("the marker must be on the line directly before");
        Read read = ReadAll("Subject: a\n\nForwarded message:\n\nFrom: a@b\n\n");
        ASSERT_EQ(read.messages.size(), 2u);
    }
    {
        SCOPED_TRACE("From without a space or colon is body text");
        Read read = ReadAll("Subject: a\n\nFromage\n>From x\n From: y\nFROM: z\n");
        EXPECT_EQ(read.messages.size(), 1u);
    }
    {
        SCOPED_TRACE("From lines inside a header block do not separate");
        Read read = ReadAll(
            "From a Mon Jan  9 10:11:12 1995\nFrom b Tue Feb 10 11:00:00 1996\n"
            "From: x@y\nSubject: s\n\n");
        ASSERT_EQ(read.messages.size(), 1u);
        EXPECT_EQ(read.messages[0].m_date, "Tue Feb 10 1996 11:00:00");
    }
}

TEST(SpoolReaderTest, ReplyReferenceContinuation) {
    struct Case {
        const char* label;
        const char* text;
        const char* reference;
    };
    const Case cases[] = {
        {"indented line replaces", "In-Reply-To: <123@host>\n    <456@host>\n\n", "456@host"},
        {"tab continuation", "In-Reply-To: Your message of x\n\t<9@h>\n\n", "9@h"},
        {"other lines in between keep it pending",
         "In-Reply-To: <1@h>\nSubject: s\nX-A: b\n    <2@h>\n\n", "2@h"},
        {"only the first continuation counts", "In-Reply-To: <1@h>\n    <2@h>\n    <3@h>\n\n",
         "2@h"},
        {"needs all of < > @", "In-Reply-To: <1@h>\n    <2h>\n\n", "1@h"},
        {"three spaces are not enough", "In-Reply-To: <1@h>\n   <2@h>\n\n", "1@h"},
        {"without In-Reply-To nothing is pending", "Subject: s\n    <2@h>\n\n", ""},
        {"pending ends with the message", "In-Reply-To: <1@h>\n\nbody\nFrom: x\n    <2@h>\n\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Read read = ReadAll(c.text);
        ASSERT_FALSE(read.messages.empty());
        EXPECT_EQ(read.messages.back().m_inReplyTo, c.reference);
    }
}

TEST(SpoolReaderTest, LongLinesAreReadInPiecesOf999) {
    {
        SCOPED_TRACE("a 2500-byte body line whose third piece begins with From");
        std::string line = std::string(1998, 'x') + "From: z@q " + std::string(492, 'y');
        std::string text = "Subject: a\n\n" + line + "\n";
        Read read = ReadAll(text);
        ASSERT_EQ(read.messages.size(), 2u);
        EXPECT_EQ(read.messages[1].m_offset, 12 + 1998);
        EXPECT_EQ(read.messages[1].m_fromAddress, "z@q");
        // The rest of the piece is the header line; the final line end closes the block.
        EXPECT_EQ(read.next, static_cast<std::int64_t>(text.size()));
    }
    {
        SCOPED_TRACE("short body lines, then a long one whose second piece begins with From");
        std::string head = "Subject: a\n\nshort\nlines\n";
        std::string text = head + std::string(999, 'x') + "From: z@q \nmore\n";
        Read read = ReadAll(text);
        ASSERT_EQ(read.messages.size(), 2u);
        EXPECT_EQ(read.messages[1].m_offset, static_cast<std::int64_t>(head.size() + 999));
    }
    {
        SCOPED_TRACE("a body line of 998 bytes and CR LF is one line, not a separator piece");
        std::string text = "Subject: a\n\nx\n" + std::string(998, 'y') + "\r\nFrom: b@c\n\n";
        Read read = ReadAll(text);
        ASSERT_EQ(read.messages.size(), 2u);
        EXPECT_EQ(read.messages[1].m_offset, static_cast<std::int64_t>(text.find("From: b@c")));
    }
    {
        SCOPED_TRACE("a 999-byte header line is followed by an empty piece");
        std::string text = "X" + std::string(998, 'h') + "\nSubject: body\n";
        Read read = ReadAll(text);
        ASSERT_EQ(read.messages.size(), 1u);
        EXPECT_EQ(read.messages[0].m_subject, "(no subject)");
    }
    {
        SCOPED_TRACE("the same with CR LF");
        std::string text = "X" + std::string(998, 'h') + "\r\nSubject: body\r\n";
        Read read = ReadAll(text);
        ASSERT_EQ(read.messages.size(), 1u);
        EXPECT_EQ(read.messages[0].m_subject, "(no subject)");
    }
    {
        SCOPED_TRACE("998 bytes and CR LF are one line");
        std::string text = "X" + std::string(997, 'h') + "\r\nSubject: header\r\n\r\n";
        Read read = ReadAll(text);
        ASSERT_EQ(read.messages.size(), 1u);
        EXPECT_EQ(read.messages[0].m_subject, "header");
    }
    {
        SCOPED_TRACE("a long subject piece is cut to 100 bytes");
        Read read = ReadAll("Subject: " + std::string(3000, 's') + "\n\n");
        ASSERT_EQ(read.messages.size(), 1u);
        EXPECT_EQ(read.messages[0].m_subject, std::string(100, 's'));
    }
}

TEST(SpoolReaderTest, LineEndsAndOffsets) {
    std::string text =
        "From a Mon Jan  9 10:11:12 1995\r\nSubject: one\r\n\r\nbody\r\n"
        "From b Mon Jan  9 10:11:13 1995\nSubject: two\n\nbody\n";
    // A read that starts past 4 GiB keeps exact offsets.
    const std::int64_t base = 5'000'000'000;
    Read read = ReadAll(text, base);
    ASSERT_EQ(read.messages.size(), 2u);
    EXPECT_EQ(read.messages[0].m_offset, base);
    EXPECT_EQ(read.messages[0].m_subject, "one");
    EXPECT_EQ(read.messages[0].m_date, "Mon Jan 9 1995 10:11:12");
    EXPECT_EQ(read.messages[1].m_offset, base + static_cast<std::int64_t>(text.find("From b")));
    EXPECT_EQ(read.next, base + static_cast<std::int64_t>(text.size()));
}

TEST(SpoolReaderTest, EndOfInput) {
    {
        SCOPED_TRACE("nothing at all");
        Read read = ReadAll("", 42);
        EXPECT_TRUE(read.messages.empty());
        EXPECT_EQ(read.next, 42);
    }
    {
        SCOPED_TRACE("an open header block without a final line end is held back");
        std::string text = "Subject: a\n\nbody\nFrom x Mon Jan  9 10:11:12 1995\nSubject: b";
        Read read = ReadAll(text);
        ASSERT_EQ(read.messages.size(), 1u);
        EXPECT_EQ(read.next, static_cast<std::int64_t>(text.find("From x")));
    }
    {
        SCOPED_TRACE("a final line end closes a header block");
        Read read = ReadAll("Subject: a\n");
        ASSERT_EQ(read.messages.size(), 1u);
        EXPECT_EQ(read.next, 11);
    }
    {
        SCOPED_TRACE("a body without a final line end is complete");
        Read read = ReadAll("Subject: a\n\nlast");
        ASSERT_EQ(read.messages.size(), 1u);
        EXPECT_EQ(read.next, 16);
    }
    {
        SCOPED_TRACE("a lone header line without a line end");
        Read read = ReadAll("Subject: a", 7);
        EXPECT_TRUE(read.messages.empty());
        EXPECT_EQ(read.next, 7);
    }
}

// The file reader takes the file in blocks and learns where it ends only from an empty read,
// so a line cut into pieces near the end must come out as it does from memory.
TEST(SpoolReaderTest, FileReadsAgreeWithMemoryReads) {
    const std::string open = "Subject: a\n";
    const std::string closed = "Subject: a\n\nbody\n";
    struct Case {
        const char* label;
        std::string text;
    } cases[] = {
        {"header piece, then only a dropped CR", open + std::string(999, 'y') + "\r"},
        {"two header pieces, then only a dropped CR", open + std::string(1997, 'y') + "\r\r"},
        {"body piece, then only a dropped CR", closed + std::string(999, 'y') + "\r"},
        {"header piece and a short rest", open + std::string(1000, 'y') + "\r"},
        {"header piece and a line end", open + std::string(999, 'y') + "\r\n"},
        {"lone CR after a line end", closed + "\r"},
    };
    CTempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string path = dir.Write("mailbox", c.text);
        Read memory = ReadAll(c.text);
        Read file;
        ASSERT_TRUE(CSpoolReader::ReadFile(
            path, 0, [&](const CSpoolMessage& m) { file.messages.push_back(m); }, file.next));
        EXPECT_EQ(file.next, memory.next);
        EXPECT_EQ(Subjects(file), Subjects(memory));
    }
    {
        SCOPED_TRACE("an open header block stays open");
        Read memory = ReadAll(cases[0].text);
        EXPECT_TRUE(memory.messages.empty());
        EXPECT_EQ(memory.next, 0);
    }
}

}  // namespace

namespace {

TEST(SpoolReaderTest, FileReadTellsTheBytesAheadOnceAndOnlyWhenThereAreSome) {
    CTempDir dir;
    const std::string text = LunchSpool();
    std::string path = dir.Write("mailbox", text);
    const auto size = static_cast<std::int64_t>(text.size());
    struct Case {
        const char* label;
        std::int64_t offset;
        std::vector<std::uint64_t> hints;
    } cases[] = {
        {"from the start", 0, {text.size()}},
        {"from the second message", 100, {text.size() - 100}},
        {"at the end", size, {}},
        {"past the end", size + 10, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::uint64_t> hints;
        std::int64_t next = -1;
        ASSERT_TRUE(CSpoolReader::ReadFile(
            path, c.offset, [](const CSpoolMessage&) {}, next,
            [&](std::uint64_t ahead) { hints.push_back(ahead); }));
        EXPECT_EQ(hints, c.hints);
    }
}

}  // namespace
