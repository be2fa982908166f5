// Threads and the three sorted lists: the listed cases, and a randomised comparison with a
// plain reference that walks lists from the head the slow way.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "MailTestFiles.h"
#include "mail/MailboxNode.h"
#include "mail/SortedKeys.h"
#include "mail/SpoolReader.h"
#include "mail/Threading.h"

namespace {

struct Draft {
    Draft(std::string s = "", std::string i = "", std::string r = "", std::string n = "N",
          std::string d = "Mon, 9 Jan 1995 10:00")
        : subject(std::move(s)),
          id(std::move(i)),
          reply(std::move(r)),
          name(std::move(n)),
          date(std::move(d)) {}
    std::string subject;
    std::string id;
    std::string reply;
    std::string name;
    std::string date;
};

std::string Message(const Draft& m) {
    std::string text = "From x Mon Jan  9 10:11:12 1995\n";
    text += "From: " + m.name + " <a@h>\n";
    text += "Date: " + m.date + "\n";
    text += "Subject: " + m.subject + "\n";
    if (!m.id.empty()) text += "Message-Id: <" + m.id + ">\n";
    if (!m.reply.empty()) text += "In-Reply-To: <" + m.reply + ">\n";
    text += "\nbody\n";
    return text;
}

class ThreadingTest : public ::testing::Test {
  protected:
    CMailboxNode& Load(const std::vector<Draft>& messages) {
        std::string text;
        for (const auto& m : messages)
            text += Message(m);
        m_box = std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, "box",
                                               m_dir.Write("mailbox", text));
        m_box->ReadSpool(0);
        EXPECT_EQ(m_box->MessageCount(), static_cast<int>(messages.size()));
        return *m_box;
    }
    // The root's number for a reply, -1 for a root.
    std::vector<int> Roots() const {
        std::vector<int> roots;
        for (int n = 0; n < m_box->MessageCount(); ++n) {
            CMessageNode* m = m_box->MessageByNumber(n);
            roots.push_back(m->m_isReply ? m->m_threadRoot->m_number : -1);
        }
        return roots;
    }
    std::vector<int> Chain(int root) const {
        std::vector<int> chain;
        for (CMessageNode* m = m_box->MessageByNumber(root)->NextInThread(); m;
             m = m->NextInThread())
            chain.push_back(m->m_number);
        return chain;
    }
    template <typename Next>
    std::vector<int> Walk(CMessageNode* first, Next next) const {
        std::vector<int> order;
        for (CMessageNode* m = first; m; m = (m->*next)())
            order.push_back(m->m_number);
        return order;
    }

    CTempDir m_dir;
    std::unique_ptr<CMailboxNode> m_box;
};

TEST_F(ThreadingTest, SubjectPrefixAndRest) {
    EXPECT_EQ(CThreadIndex::SubjectPrefix("Re: lunch"), "RE:");
    EXPECT_EQ(CThreadIndex::SubjectRest("Re: lunch"), "lunch");
    EXPECT_EQ(CThreadIndex::SubjectPrefix("Hello there"), "HEL");
    EXPECT_EQ(CThreadIndex::SubjectRest("Hello there"), "lo there");
    EXPECT_EQ(CThreadIndex::SubjectPrefix("Re:"), "");
    EXPECT_EQ(CThreadIndex::SubjectRest("Re:"), "");
    EXPECT_EQ(CThreadIndex::SubjectRest("re:\t x"), "\t x");  // only spaces are removed
}

TEST_F(ThreadingTest, RepliesFindTheirRoot) {
    Load({{"lunch?"}, {"Re: lunch?"}, {"RE: lunch?"}, {"Re: Re: lunch?"}});
    EXPECT_EQ(Roots(), (std::vector<int>{-1, 0, 0, 0}));
    EXPECT_EQ(Chain(0), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(m_box->MessageByNumber(0)->LastReply()->m_number, 3);
}

TEST_F(ThreadingTest, MatchingCases) {
    struct Case {
        const char* label;
        std::vector<Draft> messages;
        std::vector<int> roots;
    };
    const Case cases[] = {
        {"reference joins even when subjects differ",
         {{"first", "1@h"}, {"other", "", "1@h"}},
         {-1, 0}},
        {"subject 'Hello' with a reference matches the rest 'lo'",
         {{"lo"}, {"Hello", "", "nowhere"}},
         {-1, 0}},
        {"same subject with a reference",
         {{"Hello"}, {"lo"}, {"Hello", "", "nowhere"}},
         {-1, -1, 1}},
        {"no reference and no Re: stays a root", {{"lunch"}, {"lunch"}}, {-1, -1}},
        {"'Re:' alone without reference stays a root", {{""}, {"Re:"}}, {-1, -1}},
        {"'Re:' with a reference matches an empty subject",
         {{""}, {"x"}, {"Re:", "", "nowhere"}},
         {-1, -1, 0}},
        {"a reply read before its message stays a root",
         {{"Re: later", "", "2@h"}, {"x"}, {"later", "2@h"}},
         {-1, -1, -1}},
        {"the newest match wins",
         {{"topic", "1@h"}, {"topic"}, {"Re: topic", "", "1@h"}},
         {-1, -1, 1}},
        {"a reference to a reply leads to its root",
         {{"a", "1@h"}, {"Re: a", "2@h"}, {"z", "", "2@h"}},
         {-1, 0, 0}},
        {"lower-case re: counts as Re:", {{"b"}, {"re: b"}}, {-1, 0}},
        {"an empty reference does not match empty ids", {{"q"}, {"Re: x"}}, {-1, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Load(c.messages);
        EXPECT_EQ(Roots(), c.roots);
    }
}

TEST_F(ThreadingTest, SortedListsKeepReadOrderForEqualKeys) {
    Load({{"b", "", "", "adam", "Thu, 1 Dec 1994 10:00"},
          {"a", "", "", "Zed", "Thu, 5 Jan 1995 09:00"},
          {"b", "", "", "adam", "Thu, 1 Dec 1994 10:00"},
          {"B", "", "", "Adam", "Thu, 1 Dec 1994 10:00"}});
    EXPECT_EQ(Walk(m_box->FirstByName(), &CMessageNode::NextByName),
              (std::vector<int>{3, 1, 0, 2}));
    EXPECT_EQ(Walk(m_box->FirstBySubject(), &CMessageNode::NextBySubject),
              (std::vector<int>{3, 1, 0, 2}));
    // December 1994 before January 1995, though the shown key "12/01/94" sorts after
    // "01/05/95"; equal dates in read order.
    EXPECT_EQ(Walk(m_box->FirstByDate(), &CMessageNode::NextByDate),
              (std::vector<int>{0, 2, 3, 1}));
    EXPECT_EQ(Walk(m_box->MessageByNumber(2), &CMessageNode::PrevByName),
              (std::vector<int>{2, 0, 1, 3}));
}

TEST_F(ThreadingTest, DateOrderCrossesTheCentury) {
    Load({{"a", "", "", "x", "Sat, 1 Jan 00 00:01"},
          {"b", "", "", "x", "Fri, 31 Dec 99 23:59"},
          {"c", "", "", "x", "Thu, 1 Jan 2026 10:00"},
          {"d", "", "", "x", "Thu, 1 Dec 1994 10:00"},
          {"e", "", "", "x", "(no date)"}});
    EXPECT_EQ(Walk(m_box->FirstByDate(), &CMessageNode::NextByDate),
              (std::vector<int>{4, 3, 1, 0, 2}));
    EXPECT_EQ(m_box->MessageByNumber(0)->m_dateKey, "01/01/00 00:01");  // shown as before
}

// The block index against std::map over keys that share long prefixes, differ only past
// byte 16, hold zero bytes or high bytes, and arrive in random order.
TEST(SortedKeysTest, AgreesWithAnOrderedMap) {
    std::mt19937 random(7);
    std::vector<std::string> texts;
    const std::string stems[] = {"",
                                 "a",
                                 "A",
                                 "ab",
                                 std::string("ab\0", 3),
                                 "0123456789abcdef",
                                 "0123456789abcdefX",
                                 "0123456789abcdefx",
                                 "\xff",
                                 "Zed"};
    for (int i = 0; i < 2000; ++i) {
        std::string text = stems[random() % 10];
        int extra = static_cast<int>(random() % 4);
        for (int j = 0; j < extra; ++j)
            text += static_cast<char>("aZ\0\xe9 "[random() % 5]);
        texts.push_back(text);
    }
    CSortedKeys<int> index;
    std::map<std::string, int> reference;
    for (int i = 0; i < static_cast<int>(texts.size()); ++i) {
        const std::string& text = texts[static_cast<std::size_t>(i)];
        auto found = index.Emplace(CSortKey(text), i);
        auto [at, inserted] = reference.try_emplace(text, i);
        ASSERT_EQ(found.m_inserted, inserted) << i;
        ASSERT_EQ(*found.m_slot, at->second) << i;
        int before = at == reference.begin() ? -1 : std::prev(at)->second;
        ASSERT_EQ(found.m_before ? *found.m_before : -1, before) << i;
    }
    EXPECT_EQ(index.Size(), reference.size());
    EXPECT_GT(reference.size(), 300u);  // enough distinct keys to split blocks
}

// --- the randomised comparison ---

struct Ref {
    int number = 0;
    std::string name, subject, dateOrder, id, reply;
    int isReply = 0;
    int root = -1;
    std::vector<int> chain;
};

// Threads and sorts the way the rules read: walk the earlier messages from the newest, and
// insert into each list by walking it from the head.
struct Reference {
    std::vector<Ref> messages;  // by number
    std::vector<int> byName, bySubject, byDate;

    static void Insert(std::vector<int>& list, const std::vector<Ref>& all, int n,
                       std::string Ref::*key) {
        std::size_t at = 0;
        while (at < list.size() && !(all[static_cast<std::size_t>(n)].*key <
                                     all[static_cast<std::size_t>(list[at])].*key)) {
            ++at;
        }
        list.insert(list.begin() + static_cast<long>(at), n);
    }

    void Add(Ref m) {
        std::string prefix, rest;
        if (m.subject.size() > 3) {
            prefix = m.subject.substr(0, 3);
            for (char& c : prefix)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            rest = m.subject.substr(3);
            rest.erase(0, rest.find_first_not_of(' ') == std::string::npos
                              ? rest.size()
                              : rest.find_first_not_of(' '));
        }
        if (prefix == "RE:" || !m.reply.empty()) {
            for (int p = static_cast<int>(messages.size()) - 1; p >= 0; --p) {
                Ref& candidate = messages[static_cast<std::size_t>(p)];
                if ((!candidate.id.empty() && candidate.id == m.reply) ||
                    candidate.subject == m.subject || candidate.subject == rest) {
                    int root = candidate.isReply ? candidate.root : candidate.number;
                    m.isReply = 1;
                    m.root = root;
                    messages[static_cast<std::size_t>(root)].chain.push_back(m.number);
                    break;
                }
            }
        }
        messages.push_back(m);
        Insert(bySubject, messages, m.number, &Ref::subject);
        Insert(byDate, messages, m.number, &Ref::dateOrder);
        Insert(byName, messages, m.number, &Ref::name);
    }
};

TEST_F(ThreadingTest, EquivalentToTheStraightforwardWalks) {
    std::mt19937 random(20261208);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const char* words[] = {"lunch", "build", "a", "", "lo", "Hello", "bug", "Build", "é"};
    const char* prefixes[] = {"", "", "Re: ", "RE: ", "re:", "Re: Re: ", "Re:", "Fwd: "};
    const char* names[] = {"Zed", "adam", "Adam", "bob", "", "Ann Lee", "zed"};
    const char* months[] = {"Jan", "Feb", "Dec", "Nov"};
    const int count = 3000;
    std::string text;
    for (int n = 0; n < count; ++n) {
        Draft m;
        m.subject = std::string(prefixes[pick(8)]) + words[pick(9)];
        if (pick(3) == 0) m.subject += " " + std::to_string(pick(40));
        if (pick(4) != 0) m.id = std::to_string(n) + "@h";
        int r = pick(10);
        if (r < 4) m.reply = std::to_string(pick(count)) + "@h";  // earlier, later or missing
        m.name = names[pick(7)];
        m.date = "Mon, " + std::to_string(1 + pick(28)) + " " + months[pick(4)] + " " +
                 std::to_string(1994 + pick(3)) + " " + std::to_string(pick(24)) + ":" +
                 (pick(2) ? "00" : "30");
        text += Message(m);
    }

    // The reference works from what the reader saw, so the comparison is about threading.
    Reference reference;
    CSpoolReader::ReadText(text, 0, [&](const CSpoolMessage& s) {
        CMessageNode record(0, s.m_date, s.m_fromName, s.m_fromAddress, s.m_messageId, s.m_subject,
                            s.m_inReplyTo, nullptr, s.m_offset);
        Ref ref;
        ref.number = static_cast<int>(reference.messages.size());
        ref.name = s.m_fromName;
        ref.subject = s.m_subject;
        ref.dateOrder = record.m_dateOrder;
        ref.id = s.m_messageId;
        ref.reply = s.m_inReplyTo;
        reference.Add(ref);
    });
    ASSERT_EQ(reference.messages.size(), static_cast<std::size_t>(count));

    // The mailbox reads the spool in uneven parts, so later parts thread onto earlier ones.
    std::string path = m_dir.Write("mailbox", "");
    m_box = std::make_unique<CMailboxNode>(CFolderNode::NoScan{}, "box", path);
    std::size_t written = 0;
    for (std::size_t cut : {text.size() / 7, text.size() / 2, text.size()}) {
        std::size_t end = cut == text.size() ? cut : text.find("\nFrom x", cut) + 1;
        m_dir.Write("mailbox", text.substr(written, end - written), true);
        written = end;
        m_box->ReadNewMail();
    }
    ASSERT_EQ(m_box->MessageCount(), count);

    std::vector<int> expectedRoots, roots;
    int replies = 0;
    for (const auto& r : reference.messages) {
        expectedRoots.push_back(r.root);
        replies += r.isReply;
    }
    EXPECT_EQ(Roots(), expectedRoots);
    EXPECT_GT(replies, count / 4);  // the generator must really exercise threading
    for (const auto& r : reference.messages) {
        if (r.isReply) continue;
        SCOPED_TRACE("chain of " + std::to_string(r.number));
        EXPECT_EQ(Chain(r.number), r.chain);
    }
    EXPECT_EQ(Walk(m_box->FirstByName(), &CMessageNode::NextByName), reference.byName);
    EXPECT_EQ(Walk(m_box->FirstBySubject(), &CMessageNode::NextBySubject), reference.bySubject);
    EXPECT_EQ(Walk(m_box->FirstByDate(), &CMessageNode::NextByDate), reference.byDate);
    // Backward walks are the forward ones reversed.
    auto reversed = [](std::vector<int> v) {
        std::reverse(v.begin(), v.end());
        return v;
    };
    auto last = [&](const std::vector<int>& order) { return m_box->MessageByNumber(order.back()); };
    EXPECT_EQ(Walk(last(reference.byName), &CMessageNode::PrevByName), reversed(reference.byName));
    EXPECT_EQ(Walk(last(reference.bySubject), &CMessageNode::PrevBySubject),
              reversed(reference.bySubject));
    EXPECT_EQ(Walk(last(reference.byDate), &CMessageNode::PrevByDate), reversed(reference.byDate));

    // Roots newest first, as a walk of the children that skips replies would give them.
    std::vector<int> rootsByChildren, rootsByChain;
    for (CNode* c = m_box->FirstChild(); c; c = c->Next()) {
        auto* m = static_cast<CMessageNode*>(c);
        if (!m->m_isReply) rootsByChildren.push_back(m->m_number);
    }
    for (CMessageNode* m = m_box->NewestRoot(); m; m = m->OlderRoot())
        rootsByChain.push_back(m->m_number);
    EXPECT_EQ(rootsByChain, rootsByChildren);
}

}  // namespace
