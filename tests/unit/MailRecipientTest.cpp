// The mailbox store: spool bytes, spool name, fresh-line rule, failed writes, bounds.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "SmtpTestSite.h"
#include "smtp/MailRecipient.h"

namespace {

// Records what the store asks of the mailbox; optionally fails every append after writing
// the first `partial` bytes, as a full disk would.
class CRecordingAccess : public CSpoolAccess {
  public:
    bool Append(int fd, std::string_view bytes) override {
        // Another program's append that ignores the lock, landing just before ours.
        if (!m_interloper.empty()) CSpoolAccess::Append(fd, m_interloper);
        if (m_fail) {
            CSpoolAccess::Append(fd, bytes.substr(0, std::min(bytes.size(), m_partial)));
            return false;
        }
        return CSpoolAccess::Append(fd, bytes);
    }
    void ReadNewMail(CMailboxNode* mailbox, const CAppendedMail& appended) override {
        m_reads.push_back(mailbox->m_name);
        m_lineEnds.push_back(appended.m_lineEndAt);
        m_ats.push_back(appended.m_at);
        m_messages.emplace_back(appended.m_message);
    }
    bool m_fail = false;
    std::string m_interloper;
    std::vector<std::int64_t> m_ats;
    std::vector<std::string> m_messages;
    std::size_t m_partial = 0;
    std::vector<std::string> m_reads;
    std::vector<std::int64_t> m_lineEnds;
};

class MailRecipientTest : public ::testing::Test {
  protected:
    void SetUp() override { CMailRecipient::SetSpoolAccess(&m_access); }
    void TearDown() override { CMailRecipient::SetSpoolAccess(nullptr); }

    CSmtpTestSite m_site;
    CRecordingAccess m_access;
};

TEST_F(MailRecipientTest, DeliversOneMessageWithSeparatorAndQuotedBodyFromLines) {
    CMailRecipient recipient("ALPHA", CMailRecipient::kActive);
    ASSERT_EQ(recipient.GetState(), CMailRecipient::kActive);
    for (const char* line : {"From header-looking line", "Subject: x", "", "From me", "From: you",
                             ">From quoted", ">>From: twice", "Fromage", " From indented", "end"}) {
        recipient.AddLine(line);
    }
    EXPECT_TRUE(recipient.Deliver());
    EXPECT_EQ(MaskSeparators(m_site.Read("alpha")),
              "SEP\nFrom header-looking line\nSubject: x\n\n>From me\n>From: you\n>>From quoted\n"
              ">>>From: twice\nFromage\n From indented\nend\n");
    EXPECT_EQ(recipient.GetState(), CMailRecipient::kIdle);
    EXPECT_TRUE(recipient.m_pending.empty());
    EXPECT_EQ(m_access.m_reads, std::vector<std::string>{"alpha"});
    EXPECT_EQ(m_access.m_lineEnds, std::vector<std::int64_t>{-1});
}

TEST_F(MailRecipientTest, NothingPendingWritesNothingAndStaysActive) {
    CMailRecipient recipient("alpha", CMailRecipient::kActive);
    EXPECT_TRUE(recipient.Deliver());
    EXPECT_FALSE(m_site.Exists("alpha"));
    EXPECT_EQ(recipient.GetState(), CMailRecipient::kActive);
    EXPECT_TRUE(m_access.m_reads.empty());
}

TEST_F(MailRecipientTest, AppendsAfterExistingMailAndStartsOnAFreshLine) {
    struct Case {
        const char* label;
        std::string before;
        std::string after;
        std::int64_t lineEndAt;
    } cases[] = {
        {"ends with line end", "old\n", "old\nSEP\nnew\n\n", -1},
        {"cut short by a kill", "From ???@??? x\nhalf", "From ???@??? x\nhalf\nSEP\nnew\n\n", 19},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        m_access.m_lineEnds.clear();
        m_site.Write("beta", "mailbox", c.before);
        CMailRecipient recipient("BETA", CMailRecipient::kActive);
        recipient.AddLine("new");
        EXPECT_TRUE(recipient.Deliver());
        std::string spool = m_site.Read("beta");
        ASSERT_EQ(spool.compare(0, c.before.size(), c.before), 0);
        EXPECT_EQ(spool.substr(0, c.before.size()) + MaskSeparators(spool.substr(c.before.size())),
                  c.after);
        EXPECT_EQ(m_access.m_lineEnds, std::vector<std::int64_t>{c.lineEndAt});
    }
}

// A recipient knows where its own last append ended; whatever changed the spool since then
// (another append, a spool put in its place) makes it look at the last byte again.
TEST_F(MailRecipientTest, FreshLineAfterOthersChangedTheSpoolBetweenDeliveries) {
    CMailRecipient recipient("BETA", CMailRecipient::kActive);
    auto deliver = [&](const char* line) {
        recipient.SetState(CMailRecipient::kActive);
        recipient.AddLine(line);
        EXPECT_TRUE(recipient.Deliver());
    };
    deliver("one");
    std::ofstream(m_site.Path("beta"), std::ios::binary | std::ios::app) << "half";
    deliver("two");
    // A spool of the same size, without a final line end, renamed into place.
    const std::string spool = m_site.Read("beta");
    const std::string replaced = spool.substr(0, spool.size() - 1) + "x";
    std::ofstream(m_site.Path("beta") + ".new", std::ios::binary) << replaced;
    ASSERT_EQ(std::rename((m_site.Path("beta") + ".new").c_str(), m_site.Path("beta").c_str()), 0);
    deliver("three");
    EXPECT_EQ(MaskSeparators(m_site.Read("beta")), "SEP\none\n\nhalf\nSEP\ntwo\nx\nSEP\nthree\n\n");
}

// The mailbox is handed the stored bytes and where they lie, so it need not read them back;
// where another writer got in between, it is told the place is unknown.
TEST_F(MailRecipientTest, TellsTheMailboxWhereTheMessageLies) {
    struct Case {
        const char* label;
        std::string before;
        std::string interloper;
        bool placeKnown;
    } cases[] = {
        {"empty spool", "", "", true},
        {"after old mail", "old\n", "", true},
        {"after a cut-off line", "half", "", true},
        {"a writer that ignores the lock", "old\n", "From x\n\nforeign\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        m_access.m_ats.clear();
        m_access.m_messages.clear();
        m_access.m_interloper = c.interloper;
        m_site.Write("beta", "mailbox", c.before);
        CMailRecipient recipient("BETA", CMailRecipient::kActive);
        recipient.AddLine("Subject: s");
        recipient.AddLine("");
        recipient.AddLine("From here");
        EXPECT_TRUE(recipient.Deliver());
        std::string spool = m_site.Read("beta");
        ASSERT_EQ(m_access.m_ats.size(), 1u);
        if (!c.placeKnown) {
            EXPECT_EQ(m_access.m_ats[0], -1);
            continue;
        }
        ASSERT_GE(m_access.m_ats[0], 0);
        const auto at = static_cast<std::size_t>(m_access.m_ats[0]);
        EXPECT_EQ(spool.substr(at), m_access.m_messages[0]);
        EXPECT_EQ(MaskSeparators(m_access.m_messages[0]), "SEP\nSubject: s\n\n>From here\n");
    }
    m_access.m_interloper.clear();
}

TEST_F(MailRecipientTest, FreshLineDoesNotBecomeAnEmptyMessageForTheReader) {
    CMailRecipient::SetSpoolAccess(nullptr);  // the real mailbox reads what was stored
    m_site.Write("beta", "mailbox", "From ???@??? Mon Jan 09 10:11:12 1995\nSubject: a\n\nno end");
    CMailboxNode* beta = m_site.Mailbox("beta");
    beta->ReadSpool(0);
    ASSERT_EQ(beta->MessageCount(), 1);
    CMailRecipient recipient("BETA", CMailRecipient::kActive);
    for (const char* line : {"Subject: b", "", "body b"})
        recipient.AddLine(line);
    EXPECT_TRUE(recipient.Deliver());
    EXPECT_EQ(beta->MessageCount(), 2);
    EXPECT_EQ(beta->ReadOffset(), static_cast<std::int64_t>(m_site.Read("beta").size()));
}

// The reader takes a line in pieces of 999 bytes and drops a CR at a line's end: a stored
// line could hand it a piece that starts a new message, or an empty line that ends the header
// block before the store thinks it does, so that an unquoted "From:" line splits the message.
TEST_F(MailRecipientTest, StoredMessageIsNeverSplitByTheReader) {
    CMailRecipient::SetSpoolAccess(nullptr);  // the real mailbox reads what was stored
    const std::string y998(998, 'y');
    struct Case {
        const char* label;
        std::vector<std::string> lines;
    } cases[] = {
        {"header line of exactly 999 bytes",
         {"Subject: " + std::string(990, 'x'), "From: forged@evil", "", "body"}},
        {"separator at the second piece", {"Subject: a", "", y998 + "yFrom evil", "end"}},
        {"sender at the third piece", {"Subject: a", "", y998 + y998 + "yyFrom: x@y.z"}},
        {"quoted piece kept short", {"Subject: a", "", y998 + "From " + std::string(1000, 'z')}},
        {"a lone CR ends the header", {"Subject: a", "\r", "From: forged@evil", "", "body"}},
        {"a CR left alone after a piece",
         {"Subject: " + std::string(989, 'x') + "\r", "From: forged@evil", "", "body"}},
    };
    CMailboxNode* beta = m_site.Mailbox("beta");
    int count = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CMailRecipient recipient("BETA", CMailRecipient::kActive);
        for (const std::string& line : c.lines)
            recipient.AddLine(line);
        EXPECT_TRUE(recipient.Deliver());
        EXPECT_EQ(beta->MessageCount(), ++count);
        std::string spool = m_site.Read("beta");
        EXPECT_EQ(beta->ReadOffset(), static_cast<std::int64_t>(spool.size()));
        std::size_t start = 0;
        for (std::size_t end; (end = spool.find('\n', start)) != std::string::npos;
             start = end + 1) {
            EXPECT_LT(end - start, 999u) << "line at byte " << start;
        }
    }
    // Nothing of the text is lost: the pieces of one line follow each other.
    EXPECT_NE(m_site.Read("beta").find(y998 + "\nyFrom evil\n"), std::string::npos);
}

// The mailbox reads each delivery on its own; after a restart it reads the whole spool at
// once, and must find the same messages at the same offsets.
TEST_F(MailRecipientTest, ARereadFromTheStartFindsEveryDeliveredMessage) {
    CMailRecipient::SetSpoolAccess(nullptr);
    const std::vector<std::vector<std::string>> messages = {
        {"no empty line at all"},   {"Subject: a", "", "---------- Forwarded message: ----------"},
        {"Subject: b", "", "body"}, {"Subject: c"},
        {"Subject: d", "", "last"},
    };
    for (const auto& lines : messages) {
        CMailRecipient recipient("BETA", CMailRecipient::kActive);
        for (const std::string& line : lines)
            recipient.AddLine(line);
        EXPECT_TRUE(recipient.Deliver());
    }
    CMailboxNode* delivered = m_site.Mailbox("beta");
    ASSERT_EQ(delivered->MessageCount(), static_cast<int>(messages.size()));

    CMailboxNode* reread = m_site.AddMailbox("reread");
    m_site.Write("reread", "mailbox", m_site.Read("beta"));
    reread->ReadSpool(0);
    ASSERT_EQ(reread->MessageCount(), delivered->MessageCount());
    for (int n = 0; n < delivered->MessageCount(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(reread->MessageByNumber(n)->m_offset, delivered->MessageByNumber(n)->m_offset);
        EXPECT_EQ(reread->MessageByNumber(n)->m_subject, delivered->MessageByNumber(n)->m_subject);
    }
    EXPECT_EQ(reread->ReadOffset(), delivered->ReadOffset());
}

TEST_F(MailRecipientTest, SpoolNameIsFoundIgnoringCase) {
    struct Case {
        const char* label;
        std::vector<std::string> present;
        std::string chosen;
    } cases[] = {
        {"none: created in lower case", {}, "mailbox"},
        {"upper case only", {"MAILBOX"}, "MAILBOX"},
        {"first in byte order", {"MailBox", "MAILBOX", "mAILBOX"}, "MAILBOX"},
        {"exact name wins", {"MAILBOX", "mailbox"}, "mailbox"},
        {"longer names are not spools", {"mailbox.bak", "MAILBOXES"}, "mailbox"},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string box = "box" + std::to_string(round++);
        std::filesystem::create_directory(m_site.m_dir + "/" + box);
        for (const std::string& name : c.present)
            m_site.Write(box, name, "x\n");
        m_site.AddMailbox(box);
        CMailRecipient recipient(box, CMailRecipient::kActive);
        recipient.AddLine("line");
        EXPECT_TRUE(recipient.Deliver());
        EXPECT_EQ(recipient.m_spoolPath, m_site.Path(box, c.chosen));
        EXPECT_NE(m_site.Read(box, c.chosen).find("\nline\n"), std::string::npos);
    }
}

TEST_F(MailRecipientTest, FailedWriteCutsTheSpoolBack) {
    for (std::size_t partial : {std::size_t{0}, std::size_t{7}, std::size_t{40}}) {
        SCOPED_TRACE(partial);
        m_site.Write("alpha", "mailbox", "From ???@??? earlier\nSubject: a\n\nbody\n");
        m_access.m_fail = true;
        m_access.m_partial = partial;
        m_access.m_reads.clear();
        CMailRecipient recipient("ALPHA", CMailRecipient::kActive);
        recipient.AddLine("Subject: lost");
        recipient.AddLine("");
        recipient.AddLine("a body long enough to be cut in the middle of the write");
        EXPECT_FALSE(recipient.Deliver());
        EXPECT_EQ(m_site.Read("alpha"), "From ???@??? earlier\nSubject: a\n\nbody\n");
        EXPECT_EQ(recipient.GetState(), CMailRecipient::kIdle);
        EXPECT_TRUE(recipient.m_pending.empty());
        EXPECT_EQ(m_access.m_reads, std::vector<std::string>{"alpha"});
    }
}

TEST_F(MailRecipientTest, MissingFolderOrUnopenableSpoolKeepsTheLines) {
    CMailRecipient nobody("NOBODY", CMailRecipient::kActive);
    EXPECT_EQ(nobody.GetState(), CMailRecipient::kUnknown);

    CMailRecipient gone("ALPHA", CMailRecipient::kActive);
    gone.AddLine("kept");
    g_state.m_topicsFolder = nullptr;
    EXPECT_FALSE(gone.Deliver());
    EXPECT_EQ(gone.GetState(), CMailRecipient::kUnknown);
    EXPECT_EQ(gone.m_pending, "kept\n");
    g_state.m_topicsFolder = m_site.m_topics.get();

    // A directory where the spool should be cannot be opened for appending.
    std::filesystem::create_directory(m_site.Path("beta"));
    CMailRecipient blocked("BETA", CMailRecipient::kActive);
    blocked.AddLine("kept too");
    EXPECT_FALSE(blocked.Deliver());
    EXPECT_EQ(blocked.GetState(), CMailRecipient::kActive);
    EXPECT_EQ(blocked.m_pending, "kept too\n");
    EXPECT_EQ(m_access.m_reads, std::vector<std::string>{"beta"});  // still asked to read
}

TEST_F(MailRecipientTest, PendingMessageIsBounded) {
    CMailRecipient recipient("ALPHA", CMailRecipient::kActive);
    const std::string mebibyte(1024 * 1024 - 1, 'x');  // plus its line end: 1 MiB
    for (int i = 0; i < 32; ++i)
        recipient.AddLine(mebibyte);
    EXPECT_FALSE(recipient.Overflowed());
    EXPECT_EQ(recipient.PendingBytes(), CMailRecipient::kMaxPendingBytes);
    recipient.AddLine("");
    EXPECT_TRUE(recipient.Overflowed());
    EXPECT_TRUE(recipient.m_pending.empty());
    recipient.AddLine("later lines are dropped too");
    EXPECT_TRUE(recipient.m_pending.empty());
    recipient.Discard();
    EXPECT_FALSE(recipient.Overflowed());
    EXPECT_EQ(recipient.GetState(), CMailRecipient::kIdle);
}

}  // namespace
