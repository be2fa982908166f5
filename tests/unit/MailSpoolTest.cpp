// The spool module: stored form, fresh-line rule, reader agreement, failed writes and syncs,
// the spool's own-file checks and the locks other mail programs see.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "SmtpTestSite.h"
#include "mail/MailSpool.h"
#include "platform/Fd.h"

namespace {

class MailSpoolTest : public ::testing::Test {
  protected:
    void SetUp() override { CMailSpool::SetLockSeconds(1); }
    void TearDown() override {
        CMailSpool::SetAccess(nullptr);
        CMailSpool::SetLockSeconds(CMailSpool::kLockSeconds);
    }
    EStoreResult Deliver(const std::string& box, const std::string& lines) {
        CMailboxNode* mailbox = m_site.Mailbox(box);
        return CMailSpool::Deliver(std::span<CMailboxNode* const>(&mailbox, 1), lines);
    }

    CSmtpTestSite m_site;
};

TEST_F(MailSpoolTest, StoredFormQuotesEveryLineTheReaderWouldTakeForASeparator) {
    std::string stored;
    AppendStoredForm(stored,
                     "From ???@??? Mon Jan 09 10:00:00 1995\nFrom: real@sender\n>From x\n"
                     "Subject: s\n\nFrom here\nFrom: there\n>From quoted\nFromage\n");
    EXPECT_EQ(stored,
              ">From ???@??? Mon Jan 09 10:00:00 1995\nFrom: real@sender\n>>From x\n"
              "Subject: s\n\n>From here\n>From: there\n>>From quoted\nFromage\n");
}

TEST_F(MailSpoolTest, ForgedSeparatorInTheHeaderDoesNotSplitTheMessage) {
    CMailboxNode* alpha = m_site.Mailbox("alpha");
    ASSERT_EQ(Deliver("alpha",
                      "Subject: one\nFrom ???@??? Mon Jan 09 10:00:00 1995\nFrom: forged@x\n\nb\n"),
              EStoreResult::kStored);
    EXPECT_EQ(alpha->MessageCount(), 1);
    CMailboxNode* reread = m_site.AddMailbox("reread");
    m_site.Write("reread", "mailbox", m_site.Read("alpha"));
    reread->ReadSpool(0);
    EXPECT_EQ(reread->MessageCount(), 1);
}

TEST_F(MailSpoolTest, AppendsAfterExistingMailOnAFreshLineWithoutAnEmptyRecord) {
    m_site.Write("beta", "mailbox", "From ???@??? Mon Jan 09 10:11:12 1995\nSubject: a\n\nno end");
    CMailboxNode* beta = m_site.Mailbox("beta");
    beta->ReadSpool(0);
    ASSERT_EQ(beta->MessageCount(), 1);
    EXPECT_EQ(Deliver("beta", "Subject: b\n\nbody b\n"), EStoreResult::kStored);
    EXPECT_EQ(MaskSeparators(m_site.Read("beta")),
              "SEP\nSubject: a\n\nno end\nSEP\nSubject: b\n\nbody b\n");
    EXPECT_EQ(beta->MessageCount(), 2);
    EXPECT_EQ(beta->ReadOffset(), static_cast<std::int64_t>(m_site.Read("beta").size()));
}

// The reader takes a line in pieces of 999 bytes and drops a CR at a line's end: a stored
// line could hand it a piece that starts a new message, or an empty line that ends the header
// block before the store thinks it does, so that an unquoted "From:" line splits the message.
TEST_F(MailSpoolTest, StoredMessageIsNeverSplitByTheReader) {
    const std::string y998(998, 'y');
    struct Case {
        const char* label;
        std::string lines;
    } cases[] = {
        {"header line of exactly 999 bytes",
         "Subject: " + std::string(990, 'x') + "\nFrom: forged@evil\n\nbody\n"},
        {"separator at the second piece", "Subject: a\n\n" + y998 + "yFrom evil\nend\n"},
        {"sender at the third piece", "Subject: a\n\n" + y998 + y998 + "yyFrom: x@y.z\n"},
        {"quoted piece kept short",
         "Subject: a\n\n" + y998 + "From " + std::string(1000, 'z') + "\n"},
        {"a lone CR ends the header", "Subject: a\n\r\nFrom: forged@evil\n\nbody\n"},
        {"a CR left alone after a piece",
         "Subject: " + std::string(989, 'x') + "\r\nFrom: forged@evil\n\nbody\n"},
        {"no empty line at all", "no header end\n"},
        {"forwarded last", "Subject: a\n\n---------- Forwarded message: ----------\n"},
    };
    CMailboxNode* beta = m_site.Mailbox("beta");
    int count = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Deliver("beta", c.lines), EStoreResult::kStored);
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
    // After a restart the whole spool reads into the same records.
    CMailboxNode* reread = m_site.AddMailbox("reread");
    m_site.Write("reread", "mailbox", m_site.Read("beta"));
    reread->ReadSpool(0);
    ASSERT_EQ(reread->MessageCount(), beta->MessageCount());
    for (int n = 0; n < beta->MessageCount(); ++n)
        EXPECT_EQ(reread->MessageByNumber(n)->m_offset, beta->MessageByNumber(n)->m_offset);
}

TEST_F(MailSpoolTest, SpoolNameIsFoundIgnoringCase) {
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
        EXPECT_EQ(Deliver(box, "line\n"), EStoreResult::kStored);
        EXPECT_NE(m_site.Read(box, c.chosen).find("\nline\n"), std::string::npos);
    }
}

class CFailingSync : public CSpoolAccess {
  public:
    bool Sync(int) override {
        errno = EIO;
        return false;
    }
};

TEST_F(MailSpoolTest, AFailedSyncCutsTheSpoolBack) {
    m_site.Write("alpha", "mailbox", "From ???@??? earlier\nSubject: a\n\nbody\n");
    CFailingSync failing;
    CMailSpool::SetAccess(&failing);
    EXPECT_EQ(Deliver("alpha", "Subject: lost\n\nbody\n"), EStoreResult::kFailed);
    EXPECT_EQ(m_site.Read("alpha"), "From ???@??? earlier\nSubject: a\n\nbody\n");
    EXPECT_EQ(m_site.Mailbox("alpha")->MessageCount(), 0);  // never shown either
    CMailSpool::SetSync(false);
    EXPECT_EQ(Deliver("alpha", "Subject: kept\n\nbody\n"), EStoreResult::kStored);
    CMailSpool::SetSync(true);
}

TEST_F(MailSpoolTest, OnlyTheFoldersOwnRegularFileIsWritten) {
    const std::string outside = m_site.m_dir + "/outside";
    std::ofstream(outside) << "precious\n";
    struct Case {
        const char* label;
        void (*make)(const std::string& spool, const std::string& outside);
    } cases[] = {
        {"symbolic link",
         [](const std::string& s, const std::string& o) { ::symlink(o.c_str(), s.c_str()); }},
        {"dangling link", [](const std::string& s,
                             const std::string& o) { ::symlink((o + ".new").c_str(), s.c_str()); }},
        {"hard link",
         [](const std::string& s, const std::string& o) { ::link(o.c_str(), s.c_str()); }},
        {"FIFO", [](const std::string& s, const std::string&) { ::mkfifo(s.c_str(), 0600); }},
        {"folder", [](const std::string& s, const std::string&) { ::mkdir(s.c_str(), 0700); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(m_site.Path("alpha"));
        c.make(m_site.Path("alpha"), outside);
        EXPECT_EQ(Deliver("alpha", "Subject: x\n\nsent\n"), EStoreResult::kFailed);
        EXPECT_EQ(m_site.Read("alpha", "../outside"), "precious\n");
        EXPECT_FALSE(std::filesystem::exists(outside + ".new"));
        // Another mailbox takes mail meanwhile.
        EXPECT_EQ(Deliver("beta", "Subject: y\n\nfine\n"), EStoreResult::kStored);
    }
}

TEST_F(MailSpoolTest, LocksHeldByOthersFailOnlyThatMailbox) {
    m_site.Write("alpha", "mailbox", "");
    const std::string spool = m_site.Path("alpha");
    struct Case {
        const char* label;
        bool stored;
        std::function<void(int fd)> hold;
    } cases[] = {
        {"shared flock", false, [](int fd) { ::flock(fd, LOCK_SH); }},
        {"fcntl read lock", false,
         [](int fd) {
             struct flock range {};
             range.l_type = F_RDLCK;
             range.l_whence = SEEK_SET;
             ::fcntl(fd, F_OFD_SETLK, &range);
         }},
        {"fresh dot-lock", false, [&](int) { std::ofstream(spool + ".lock") << "1\n"; }},
        {"stale dot-lock", true,
         [&](int) {
             std::ofstream(spool + ".lock") << "";
             const timespec old[2] = {{1000, 0}, {1000, 0}};
             ::utimensat(AT_FDCWD, (spool + ".lock").c_str(), old, 0);
         }},
        {"dot-lock of a process that is gone", true,
         [&](int) { std::ofstream(spool + ".lock") << "999999999\n"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CFd holder(::open(spool.c_str(), O_RDONLY));
        c.hold(holder.Get());
        EXPECT_EQ(Deliver("alpha", "Subject: x\n\nbody\n"),
                  c.stored ? EStoreResult::kStored : EStoreResult::kFailed);
        EXPECT_EQ(Deliver("beta", "Subject: y\n\nbody\n"), EStoreResult::kStored);
        std::filesystem::remove(spool + ".lock");
    }
    EXPECT_EQ(MaskSeparators(m_site.Read("alpha")),
              "SEP\nSubject: x\n\nbody\nSEP\nSubject: x\n\nbody\n");
    EXPECT_FALSE(std::filesystem::exists(m_site.Path("beta", "mailbox.lock")));
}

// Sessions delivering to one spool at once: every message whole and apart, and the syncs
// are at most one per message (fewer when they overlap).
TEST_F(MailSpoolTest, ConcurrentDeliveriesToOneSpoolStayWhole) {
    constexpr int kThreads = 8, kEach = 20;
    const std::uint64_t syncsBefore = CMailSpool::SyncCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string n = std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(
                    Deliver("alpha", "Subject: m" + n + "\n\n" + std::string(3000, 'b') + "\n"),
                    EStoreResult::kStored);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_LE(CMailSpool::SyncCount() - syncsBefore, std::uint64_t{kThreads * kEach});
    CMailboxNode* alpha = m_site.Mailbox("alpha");
    EXPECT_EQ(alpha->MessageCount(), kThreads * kEach);
    CMailboxNode* reread = m_site.AddMailbox("reread");
    m_site.Write("reread", "mailbox", m_site.Read("alpha"));
    reread->ReadSpool(0);
    EXPECT_EQ(reread->MessageCount(), kThreads * kEach);
}

}  // namespace
