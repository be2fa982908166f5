// Mailboxes: the records a spool gives, finding messages and spool files, incremental reads,
// readers during a read, and the real corpora read whole and in two parts.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <latch>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "MailTestFiles.h"
#include "server/ServerState.h"
#include "mail/MailArchive.h"
#include "mail/MailboxNode.h"

namespace {

std::string Simple(const std::string& subject) {
    return "From x Mon Jan  9 10:11:12 1995\nFrom: a@b\nSubject: " + subject + "\n\nbody\n";
}

std::unique_ptr<CMailboxNode> Box(const std::string& spool) {
    return std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, "box", spool);
}

TEST(MailboxTest, LunchSpoolRecordsAndCounts) {
    CTempDir dir;
    std::string text = LunchSpool();
    auto box = Box(dir.Write("mailbox", text));
    box->ReadSpool(0);
    auto lock = box->ReadLock();
    ASSERT_EQ(box->MessageCount(), 2);
    EXPECT_EQ(box->ReadOffset(), static_cast<std::int64_t>(text.size()));

    CMessageNode* ann = box->MessageByNumber(0);
    CMessageNode* bob = box->MessageByNumber(1);
    ASSERT_TRUE(ann && bob);
    EXPECT_EQ(ann->m_name, "0");
    EXPECT_EQ(ann->m_offset, 0);
    EXPECT_EQ(ann->m_fromName, "Ann Lee");
    EXPECT_EQ(ann->m_fromAddress, "ann@host");
    EXPECT_EQ(ann->m_date, "Mon Jan 09 1995 10:11:12");
    EXPECT_EQ(ann->m_dateKey, "01/09/95 10:11");
    EXPECT_EQ(ann->m_messageId, "1@host");
    EXPECT_EQ(ann->m_subject, "lunch?");
    EXPECT_EQ(ann->m_inReplyTo, "");
    EXPECT_FALSE(ann->IsReply());
    EXPECT_EQ(ann->NextInThread(), bob);

    EXPECT_EQ(bob->m_name, "1");
    EXPECT_EQ(bob->m_offset, static_cast<std::int64_t>(text.find("From ???@??? Mon Jan 09 11")));
    EXPECT_EQ(bob->m_fromName, "Bob");
    EXPECT_EQ(bob->m_fromAddress, "bob@host");
    EXPECT_EQ(bob->m_date, "Mon Jan 09 1995 11:00:00");
    EXPECT_EQ(bob->m_dateKey, "01/09/95 11:00");
    EXPECT_EQ(bob->m_messageId, "");
    EXPECT_EQ(bob->m_subject, "Re: lunch?");
    EXPECT_EQ(bob->m_inReplyTo, "1@host");
    EXPECT_TRUE(bob->IsReply());
    EXPECT_EQ(bob->ThreadRoot(), ann);
    EXPECT_EQ(bob->SpoolPath(), dir.Path() + "mailbox");

    // Children newest first, each owned once.
    EXPECT_EQ(box->FirstChild(), bob);
    EXPECT_EQ(bob->Next(), ann);
    EXPECT_EQ(ann->Prev(), bob);
    EXPECT_EQ(ann->Next(), nullptr);
    EXPECT_EQ(box->m_lastChild, ann);
    EXPECT_EQ(ann->Parent(), box.get());
    EXPECT_EQ(box->NewestRoot(), ann);
    EXPECT_EQ(bob->GetPath(), "/1");  // the box is a root here
}

TEST(MailboxTest, MessagesAreFoundByCanonicalNumberOnly) {
    CTempDir dir;
    std::string spool;
    for (int i = 0; i < 7; ++i)
        spool += Simple("s" + std::to_string(i));
    auto box = Box(dir.Write("mailbox", spool));
    box->ReadSpool(0);
    ASSERT_EQ(box->MessageCount(), 7);
    for (const char* name : {"0", "6"}) {
        SCOPED_TRACE(name);
        CNode* found = box->FindChild(name);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->m_name, name);
    }
    for (const char* name : {"7", "07", "+1", "-0", "-1", " 1", "1 ", "", "1x", "x", "99999999999",
                             "2147483648", "0x1"}) {
        SCOPED_TRACE(std::string("'") + name + "'");
        EXPECT_EQ(box->FindChild(name), nullptr);
    }
    // A delivery makes the next number reachable.
    dir.Write("mailbox", Simple("s7"), true);
    box->ReadNewMail();
    ASSERT_NE(box->FindChild("7"), nullptr);
    EXPECT_EQ(box->FindChild("7")->m_name, "7");
}

// What the store hands over is used only where the mailbox stood; the records are then the
// ones a read of the file gives. Otherwise the file is read.
TEST(MailboxTest, AppendedBytesGiveWhatTheFileGives) {
    CTempDir dir;
    const std::string ours = "From ???@??? Mon Jan 09 12:00:00 1995\nSubject: ours\n\nbody\n";
    struct Case {
        const char* label;
        std::string before;   // read by the mailbox
        std::string foreign;  // appended behind its back
        std::string lineEnd;  // the store's line end before its message
    } cases[] = {
        {"standing at the end", Simple("one"), "", ""},
        {"empty spool", "", "", ""},
        {"a foreign message came first", Simple("one"), Simple("foreign"), ""},
        {"a held-back message", Simple("one") + "From x Mon Jan  9 10:11:12 1995\nSubj", "", ""},
        {"after the store's line end", "Subject: one\n\nno line end", "", "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string path = dir.Write("handed", c.before);
        std::string copy = dir.Write("read", c.before);
        auto handed = Box(path);
        auto read = Box(copy);
        handed->ReadSpool(0);
        read->ReadSpool(0);
        std::string appended = c.foreign + c.lineEnd + ours;
        dir.Write("handed", appended, true);
        dir.Write("read", appended, true);
        const auto oldEnd = static_cast<std::int64_t>(c.before.size() + c.foreign.size());
        const std::int64_t lineEndAt = c.lineEnd.empty() ? -1 : oldEnd;
        const auto at = oldEnd + static_cast<std::int64_t>(c.lineEnd.size());
        handed->ReadAppended(lineEndAt, at, ours);
        if (lineEndAt >= 0) {
            read->ReadSpool(lineEndAt + 1);  // past the store's line end, from the file
        } else {
            read->ReadNewMail();
        }

        auto lockHanded = handed->ReadLock();
        auto lockRead = read->ReadLock();
        ASSERT_EQ(handed->MessageCount(), read->MessageCount());
        EXPECT_EQ(handed->ReadOffset(), read->ReadOffset());
        EXPECT_EQ(handed->ReadOffset(),
                  oldEnd + static_cast<std::int64_t>(c.lineEnd.size() + ours.size()));
        for (int n = 0; n < read->MessageCount(); ++n) {
            SCOPED_TRACE(n);
            EXPECT_EQ(handed->MessageByNumber(n)->m_subject, read->MessageByNumber(n)->m_subject);
            EXPECT_EQ(handed->MessageByNumber(n)->m_offset, read->MessageByNumber(n)->m_offset);
        }
        EXPECT_EQ(handed->Newest()->m_subject, "ours");
    }
    // Bytes that are not the file's are believed only where the mailbox stood: handed at
    // another offset, they are ignored and the file is read.
    std::string path = dir.Write("mismatch", Simple("one"));
    auto box = Box(path);
    box->ReadSpool(0);
    dir.Write("mismatch", Simple("two"), true);
    box->ReadAppended(-1, 3, Simple("not in the file"));
    auto lock = box->ReadLock();
    ASSERT_EQ(box->MessageCount(), 2);
    EXPECT_EQ(box->Newest()->m_subject, "two");
}

TEST(MailboxTest, IncrementalReads) {
    CTempDir dir;
    {
        SCOPED_TRACE("missing spool, then created by a delivery");
        auto box = Box(dir.Path() + "mailbox");
        box->ReadSpool(0);
        EXPECT_EQ(box->MessageCount(), 0);
        EXPECT_FALSE(box->HasChildren());
        dir.Write("mailbox", Simple("first"));
        box->ReadNewMail();
        ASSERT_EQ(box->MessageCount(), 1);
        EXPECT_EQ(box->MessageByNumber(0)->m_subject, "first");
        EXPECT_TRUE(box->HasChildren());
    }
    {
        SCOPED_TRACE("zero bytes, then nothing appended");
        auto box = Box(dir.Write("empty", ""));
        box->ReadSpool(0);
        box->ReadNewMail();
        EXPECT_EQ(box->MessageCount(), 0);
        EXPECT_EQ(box->ReadOffset(), 0);
    }
    {
        SCOPED_TRACE("an open header block is read again with what follows");
        std::string first = Simple("one") + "From x Mon Jan  9 10:11:12 1995\nFrom: c@d\nSubj";
        auto box = Box(dir.Write("held", first));
        box->ReadSpool(0);
        ASSERT_EQ(box->MessageCount(), 1);
        EXPECT_EQ(box->ReadOffset(), static_cast<std::int64_t>(Simple("one").size()));
        box->ReadNewMail();  // nothing new: the held-back message stays out
        EXPECT_EQ(box->MessageCount(), 1);
        dir.Write("held", "ect: two\n\nbody\n", true);
        box->ReadNewMail();
        ASSERT_EQ(box->MessageCount(), 2);
        CMessageNode* two = box->MessageByNumber(1);
        EXPECT_EQ(two->m_subject, "two");
        EXPECT_EQ(two->m_fromAddress, "c@d");
        EXPECT_EQ(two->m_offset, static_cast<std::int64_t>(Simple("one").size()));
    }
    {
        SCOPED_TRACE("a line end added before a delivery does not become a message");
        std::string first = "Subject: one\n\nno final line end";
        auto box = Box(dir.Write("unended", first));
        box->ReadSpool(0);
        ASSERT_EQ(box->MessageCount(), 1);
        auto end = static_cast<std::int64_t>(first.size());
        ASSERT_EQ(box->ReadOffset(), end);
        dir.Write("unended", "\n" + Simple("two"), true);
        box->ReadAppended(end, -1, {});  // the store's line end, its message's place unknown
        ASSERT_EQ(box->MessageCount(), 2);
        EXPECT_EQ(box->MessageByNumber(1)->m_subject, "two");
        EXPECT_EQ(box->MessageByNumber(1)->m_offset, end + 1);
    }
    {
        SCOPED_TRACE("a spool that cannot be read changes nothing");
        std::filesystem::create_directory(dir.Path() + "adir");
        auto box = Box(dir.Path() + "adir");
        box->ReadSpool(0);
        EXPECT_EQ(box->MessageCount(), 0);
        EXPECT_EQ(box->ReadOffset(), 0);
    }
}

TEST(MailboxTest, SpoolFileIsFoundIgnoringCase) {
    struct Case {
        const char* label;
        std::vector<std::string> files;
        const char* expected;
    };
    const Case cases[] = {
        {"exact name", {"mailbox", "MAILBOX"}, "mailbox"},
        {"other case only", {"MailBox"}, "MailBox"},
        {"first in byte order", {"mailBOX", "MAILBOX", "Mailbox"}, "MAILBOX"},
        {"none: the name the store creates", {"mailbox.old", "other"}, "mailbox"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        CTempDir dir;
        for (const auto& file : c.files)
            dir.Write(file, "x");
        EXPECT_EQ(CMailboxNode::FindSpoolFile(dir.Path()), dir.Path() + c.expected);
    }
    CTempDir dir;
    std::filesystem::create_directory(dir.Path() + "mailbox");
    dir.Write("Mailbox", "x");
    EXPECT_EQ(CMailboxNode::FindSpoolFile(dir.Path()), dir.Path() + "Mailbox");
}

class MailboxScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_state.ResetForTests();
        m_saved = g_state.m_makeMailbox;
        RegisterMailArchive();
    }
    void TearDown() override {
        g_state.ResetForTests();
        g_state.m_makeMailbox = m_saved;
    }
    decltype(g_state.m_makeMailbox) m_saved;
};

TEST_F(MailboxScanTest, TopicsSubfoldersBecomeMailboxes) {
    CTempDir site;
    site.Write("vantrel.cfg", "topics\n");
    std::filesystem::create_directories(site.Path() + "list/sub");
    std::filesystem::create_directories(site.Path() + "quiet");
    site.Write("list/MAILBOX", LunchSpool());
    site.Write("list/vantrel.cfg", "title=Our_list\n");
    site.Write("list/picture.gif", "GIF89a");
    CFolderNode root(site.Path());

    auto* list = dynamic_cast<CMailboxNode*>(root.FindChild("list"));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->m_spoolPath, list->m_dirPath + "MAILBOX");
    EXPECT_EQ(list->m_label, "Our_list");
    EXPECT_EQ(list->MessageCount(), 2);
    EXPECT_EQ(list->FindChild("picture.gif"), nullptr);
    EXPECT_EQ(list->FindChild("sub"), nullptr);
    ASSERT_NE(list->FindChild("1"), nullptr);

    auto* quiet = dynamic_cast<CMailboxNode*>(root.FindChild("quiet"));
    ASSERT_NE(quiet, nullptr);
    EXPECT_EQ(quiet->MessageCount(), 0);
    EXPECT_EQ(quiet->m_spoolPath, quiet->m_dirPath + "mailbox");
    site.Write("quiet/mailbox", Simple("hello"));
    quiet->ReadNewMail();
    ASSERT_NE(quiet->FindChild("0"), nullptr);
}

// A page renderer walks under the shared lock while mail arrives: what it sees is always a
// whole mailbox (every list holds every published message), never a half-linked one.
TEST(MailboxTest, ReadersSeeWholeMailboxesWhileMailArrives) {
    CTempDir dir;
    std::string path = dir.Write("mailbox", Simple("start"));
    auto box = Box(path);
    box->ReadSpool(0);
    std::atomic<bool> done{false};
    std::atomic<int> inconsistent{0};
    std::atomic<int> walks{0};
    std::latch firstWalk(1);
    std::thread reader([&] {
        while (!done.load()) {
            auto lock = box->ReadLock();
            int count = box->MessageCount();
            int children = 0, byDate = 0, byName = 0, bySubject = 0;
            for (CNode* c = box->FirstChild(); c; c = c->Next())
                ++children;
            for (auto* m = box->FirstByDate(); m; m = m->NextByDate())
                ++byDate;
            for (auto* m = box->FirstByName(); m; m = m->NextByName())
                ++byName;
            for (auto* m = box->FirstBySubject(); m; m = m->NextBySubject())
                ++bySubject;
            if (children != count || byDate != count || byName != count || bySubject != count)
                ++inconsistent;
            if (++walks == 1) firstWalk.count_down();
        }
    });
    firstWalk.wait();  // the reader is running before mail starts to arrive
    for (int i = 0; i < 300; ++i) {
        dir.Write("mailbox", Simple(i % 2 ? "Re: start" : "other"), true);
        box->ReadNewMail();
    }
    done = true;
    reader.join();
    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_GT(walks.load(), 0);
    EXPECT_EQ(box->MessageCount(), 301);
}

// --- the real corpora ---

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

using RecordRow = std::tuple<std::int64_t, std::string, std::string, std::string, std::string,
                             std::string, std::string, std::string, int, int>;

std::vector<RecordRow> Rows(const CMailboxNode& box) {
    auto lock = box.ReadLock();
    std::vector<RecordRow> rows;
    for (int n = 0; n < box.MessageCount(); ++n) {
        const CMessageNode* m = box.MessageByNumber(n);
        rows.emplace_back(m->m_offset, m->m_fromName, m->m_fromAddress, m->m_date, m->m_messageId,
                          m->m_subject, m->m_inReplyTo, m->m_dateKey, m->m_isReply,
                          m->ThreadRoot()->m_number);
    }
    for (auto* m = box.FirstByDate(); m; m = m->NextByDate())
        rows.emplace_back(m->m_number, "date", "", "", "", "", "", "", 0, 0);
    for (auto* m = box.FirstByName(); m; m = m->NextByName())
        rows.emplace_back(m->m_number, "name", "", "", "", "", "", "", 0, 0);
    for (auto* m = box.FirstBySubject(); m; m = m->NextBySubject())
        rows.emplace_back(m->m_number, "subject", "", "", "", "", "", "", 0, 0);
    return rows;
}

// Sanitizer and debug builds read a slice of the large corpus, to stay quick.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(NDEBUG)
constexpr std::size_t kLargeCorpusBytes = 4 << 20;
#else
constexpr std::size_t kLargeCorpusBytes = std::string::npos;
#endif

TEST(MailboxCorpusTest, CorporaReadWholeAndInTwoParts) {
    // The corpora live in shared/ beside the checkout, or beside the folder of worktrees.
    std::string corpusDir = std::string(VANTREL_SOURCE_DIR) + "/../shared/data/mail/";
    if (ReadWhole(corpusDir + "odd.mbox").empty()) {
        corpusDir = std::string(VANTREL_SOURCE_DIR) + "/../../shared/data/mail/";
    }
    // A clone without the corpora beside it has nothing to read here: skip, saying why.
    if (ReadWhole(corpusDir + "odd.mbox").empty()) {
        GTEST_SKIP() << "mail corpora not found beside the checkout (shared/data/mail)";
    }
    for (const char* name : {"odd.mbox", "linux-mips.mbox"}) {
        SCOPED_TRACE(name);
        std::string text = ReadWhole(corpusDir + name);
        if (text.empty()) {
            ADD_FAILURE() << "corpus missing: " << corpusDir << name;
            continue;
        }
        if (std::string(name) == "linux-mips.mbox" && kLargeCorpusBytes < text.size()) {
            text.resize(text.find("\nFrom ", kLargeCorpusBytes) + 1);
        }
        CTempDir dir;
        auto whole = Box(dir.Write("whole", text));
        whole->ReadSpool(0);
        int count = whole->MessageCount();
        int envelopes = 0;
        for (std::size_t at = 0; at != std::string::npos; at = text.find("\nFrom ", at + 1))
            ++envelopes;
        EXPECT_GE(count, envelopes);
        EXPECT_EQ(whole->ReadOffset(), static_cast<std::int64_t>(text.size()));

        // Every record starts at a line (or a 999-byte piece of one) beginning with From.
        std::vector<std::int64_t> envelopeStarts;
        for (int n = 0; n < count; ++n) {
            std::int64_t offset = whole->MessageByNumber(n)->m_offset;
            auto at = static_cast<std::size_t>(offset);
            ASSERT_LT(at, text.size());
            std::size_t lineStart = text.rfind('\n', at == 0 ? 0 : at - 1);
            lineStart = (at == 0 || lineStart == std::string::npos) ? 0 : lineStart + 1;
            EXPECT_EQ((at - lineStart) % 999, 0u) << "message " << n;
            std::string_view head(text.data() + at, std::min<std::size_t>(5, text.size() - at));
            EXPECT_TRUE(head == "From " || head == "From:") << "message " << n;
            if (n > 0 && head == "From " && at == lineStart) envelopeStarts.push_back(offset);
        }
        auto rows = Rows(*whole);

        // Split before a few envelope lines that separate messages, read the rest as new mail.
        ASSERT_FALSE(envelopeStarts.empty());
        for (std::size_t pick :
             {std::size_t{0}, envelopeStarts.size() / 2, envelopeStarts.size() - 1}) {
            std::int64_t cut = envelopeStarts[pick];
            SCOPED_TRACE("split at " + std::to_string(cut));
            std::string path = dir.Write("parts", text.substr(0, static_cast<std::size_t>(cut)));
            auto parts = Box(path);
            parts->ReadSpool(0);
            EXPECT_EQ(parts->ReadOffset(), cut);
            dir.Write("parts", text.substr(static_cast<std::size_t>(cut)), true);
            parts->ReadNewMail();
            EXPECT_TRUE(Rows(*parts) == rows);
        }
    }
}

}  // namespace
