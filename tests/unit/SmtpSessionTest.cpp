// The SMTP session fed as a driver would: replies byte for byte, RCPT parsing, DATA framing
// whole and byte by byte, the connection's own transaction, the bounds, failed stores, and
// the blocking worker on a loopback socket.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "server/Listener.h"
#include "SmtpTestSite.h"
#include "mail/MailSpool.h"
#include "platform/Fd.h"
#include "smtp/SmtpSession.h"
#include "smtp/SmtpListener.h"

namespace {

const std::string kOk = "250 OK  Requested mail action okay, completed\r\n";
const std::string kStart = "354 Start mail input; end with <CRLF>.<CRLF>\r\n";
const std::string k500 = "500 Syntax error, command unrecognized\r\n";
const std::string k502 = "502 Command not implemented\r\n";
const std::string k550 = "550 Requested action not taken: mailbox unavailable\r\n";
const std::string k553 = "553 Requested action not taken: Mailbox name not allowed\r\n";
const std::string k552 = "552 Requested mail action aborted: exceeded storage allocation\r\n";
const std::string k452 = "452 Requested action not taken: insufficient system storage\r\n";
const std::string k451 = "451 Requested action aborted: local error in processing\r\n";
const std::string kGreeting = "220 Korvane SMTP Service ready\r\n";

std::string Quit() {
    return "221 " + SmtpHostName() + " Service closing transmission channel\r\n";
}

// One connection fed `input` in pieces of `step` bytes; the replies, greeting left out.
std::string Converse(const std::string& input, std::size_t step = std::string::npos) {
    CSmtpSession session;
    std::string replies;
    std::string_view rest = input;
    while (!rest.empty()) {
        std::string_view piece = rest.substr(0, step);
        rest.remove_prefix(piece.size());
        while (!piece.empty()) {
            piece.remove_prefix(session.Feed(piece));
            if (!session.HasUnit()) continue;
            CSmtpSession::CResult result = session.RunUnit();
            replies += result.m_reply;
            if (result.m_close) return replies;
        }
    }
    session.Closed();
    return replies;
}

class SmtpSessionTest : public ::testing::Test {
  protected:
    void SetUp() override { CSmtpSession::ForgetUnknownNamesForTests(); }
    void TearDown() override {
        CMailSpool::SetAccess(nullptr);
        EXPECT_EQ(CSmtpSession::TotalHeldBytes(), 0u);
    }
    std::string Talk(const std::string& input) { return Converse(input); }

    CSmtpTestSite m_site;
};

TEST_F(SmtpSessionTest, CommandWordsAndShortLines) {
    struct Case {
        const char* label;
        std::string input;
        std::string replies;
    } cases[] = {
        {"lower-case helo with argument", "helo client.example\r\n",
         "250 " + SmtpHostName() + "\r\n"},
        {"HELO alone", "HELO\r\n", "250 " + SmtpHostName() + "\r\n"},
        {"three characters end the session", "QUI\r\nNOOP\r\n", k500},
        {"empty line ends the session", "\r\nNOOP\r\n", k500},
        {"VRFY is not implemented, the session goes on", "VRFY alpha\r\nnoop\r\n", k502 + kOk},
        {"word must be whole", "NOOPX\r\nHELOS\r\n", k502 + k502},
        {"tab and question mark end the word", "NOOP\tx\r\nRSET?\r\n", kOk + kOk},
        {"bare LF line ends work", "NOOP\nQUIT\n", kOk + Quit()},
        {"QUIT ends the session", "QUIT\r\nNOOP\r\n", Quit()},
        {"end of input without QUIT: no reply", "NOOP\r\n", kOk},
        // A command line past 999 characters: its remainder is read as the next command.
        {"long command line", "NOOP" + std::string(995, ' ') + "QUIT\r\n", kOk + Quit()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Talk(c.input), c.replies);
    }
    EXPECT_NE(SmtpHostName(), "");
}

TEST_F(SmtpSessionTest, RcptParsing) {
    struct Case {
        const char* argument;
        std::string name;  // empty: 553
    } cases[] = {
        {"TO:<ALPHA@HOST>", "ALPHA"},
        {"TO:<JOHN.DOE@HOST>", "JOHN"},
        {"TO:ALPHA@HOST", "ALPHA"},
        {"TO:<>", ""},
        {"TO:<@.@.>", ""},
        {"TO: <ALPHA@HOST>", " "},
        {"TO:<<@ALPHA>>", "ALPHA"},
        {"", ""},
        {"TO", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        EXPECT_EQ(RcptMailboxName(c.argument), c.name);
    }

    struct Reply {
        const char* line;
        std::string reply;
    } replies[] = {
        {"RCPT TO:<alpha@host>\r\n", kOk},
        {"rcpt to:<Beta.Box@host>\r\n", kOk},
        {"RCPT TO:<>\r\n", k553},
        {"RCPT TO:<@.@>\r\n", k553},
        {"RCPT TO: <alpha@host>\r\n", k550},
        {"RCPT TO:<nobody@host>\r\n", k550},
        {"RCPT\r\n", k553},
    };
    for (const Reply& r : replies) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(Talk(r.line), r.reply);
    }
}

TEST_F(SmtpSessionTest, UnknownNamesStayUnknownAndAreBounded) {
    EXPECT_EQ(Talk("RCPT TO:<gamma@host>\r\n"), k550);
    m_site.AddMailbox("gamma");
    EXPECT_EQ(Talk("RCPT TO:<GAMMA@host>\r\n"), k550);
    EXPECT_EQ(Talk("RCPT TO:<Gamma@host>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n"),
              k550 + kStart + kOk + Quit());
    EXPECT_FALSE(m_site.Exists("gamma"));

    // Past the bound the oldest names are forgotten: looked up again, they are found.
    std::string input;
    for (int i = 0; i < 1200; ++i)
        input += "RCPT TO:<nobody" + std::to_string(i) + "@x>\r\n";
    Talk(input);
    m_site.AddMailbox("nobody0");
    m_site.AddMailbox("nobody1199");
    EXPECT_EQ(Talk("RCPT TO:<nobody0@x>\r\nRCPT TO:<nobody1199@x>\r\n"), kOk + k550);
}

// How the store writes one received line: in lines of at most 998 bytes.
std::string Stored(const std::string& line) {
    std::string stored;
    for (std::size_t at = 0; at < line.size(); at += 998)
        stored.append(line, at, 998).push_back('\n');
    return stored;
}

// A message without an empty line is closed with one (see the mail store's tests).
TEST_F(SmtpSessionTest, DataFraming) {
    struct Case {
        const char* label;
        std::string data;  // after DATA, up to and including the end mark
        std::string stored;
    } cases[] = {
        {"plain", "Subject: s\r\n\r\nbody\r\n.\r\n", "Subject: s\n\nbody\n"},
        {"doubled dots are undone", "..\r\n...x\r\n.x\r\n.\r\n", ".\n..x\nx\n\n"},
        {"a lone dot ended by LF is data", "a\r\n.\nb\r\n.\r\n", "a\n.\nb\n\n"},
        // A bare LF before ".\r\n" would hide a second message inside the first.
        {"no end mark after a bare LF", "a\n.\r\nMAIL FROM:<x>\r\n.\r\n",
         "a\n.\nMAIL FROM:<x>\n\n"},
        {"first line may be the end mark: an empty message", ".\r\n", ""},
        {"over-long line comes in pieces",
         std::string(2047, 'a') + std::string(10, 'b') + "\r\n.\r\n",
         Stored(std::string(2047, 'a')) + std::string(10, 'b') + "\n\n"},
        // A piece that starts inside a line is not a line: its dot stays.
        {"continuation piece keeps its dot", std::string(2047, 'a') + ".x\r\n.\r\n",
         Stored(std::string(2047, 'a')) + ".x\n\n"},
        {"line of exactly one piece adds no empty line", std::string(2046, 'c') + "\r\nd\r\n.\r\n",
         Stored(std::string(2046, 'c')) + "d\n\n"},
        {"exact piece ended by bare LF then end mark", std::string(2047, 'e') + "\n.\r\n.\r\n",
         Stored(std::string(2047, 'e')) + ".\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // Whole, and a byte at a time as a slow network would hand it over.
        for (std::size_t step : {std::string::npos, std::size_t{1}}) {
            std::filesystem::remove(m_site.Path("alpha"));
            std::string replies =
                Converse("RCPT TO:<alpha@x>\r\nDATA\r\n" + c.data + "QUIT\r\n", step);
            EXPECT_EQ(replies, kOk + kStart + kOk + Quit());
            EXPECT_EQ(MaskSeparators(m_site.Read("alpha")),
                      "SEP\n" + (c.stored.empty() ? "\n" : c.stored));
        }
    }
}

// Each end mark stores its message at once; MAIL, RSET and QUIT store nothing.
TEST_F(SmtpSessionTest, TheConnectionsOwnTransaction) {
    struct Case {
        const char* label;
        std::string input;
        std::string replies;
        std::string alpha;  // masked spool, "" when absent
        std::string beta;
    } cases[] = {
        {"named twice in two cases: one copy",
         "RCPT TO:<alpha@x>\r\nRCPT TO:<ALPHA@y>\r\nDATA\r\none\r\n.\r\n", kOk + kOk + kStart + kOk,
         "SEP\none\n\n", ""},
        {"two recipients: a copy each",
         "RCPT TO:<alpha@x>\r\nRCPT TO:<beta@x>\r\nDATA\r\nboth\r\n.\r\n", kOk + kOk + kStart + kOk,
         "SEP\nboth\n\n", "SEP\nboth\n\n"},
        {"two DATA blocks: two messages",
         "RCPT TO:<alpha@x>\r\nDATA\r\nfirst\r\n.\r\nDATA\r\nsecond\r\n.\r\n",
         kOk + kStart + kOk + kStart + kOk, "SEP\nfirst\n\nSEP\nsecond\n\n", ""},
        {"RSET after the end mark keeps the message",
         "MAIL FROM:<x>\r\nRCPT TO:<alpha@x>\r\nDATA\r\nkept\r\n.\r\nRSET\r\nQUIT\r\n",
         kOk + kOk + kStart + kOk + kOk + Quit(), "SEP\nkept\n\n", ""},
        {"RSET ends the transaction", "RCPT TO:<alpha@x>\r\nRSET\r\nDATA\r\nno\r\n.\r\n",
         kOk + kOk + kStart + kOk, "", ""},
        {"MAIL starts a new transaction",
         "RCPT TO:<alpha@x>\r\nDATA\r\nm1\r\n.\r\nMAIL FROM:<y>\r\nRCPT "
         "TO:<beta@x>\r\nDATA\r\nm2\r\n.\r\n",
         kOk + kStart + kOk + kOk + kOk + kStart + kOk, "SEP\nm1\n\n", "SEP\nm2\n\n"},
        {"DATA without recipients is read and dropped", "DATA\r\nlost\r\n.\r\n", kStart + kOk, "",
         ""},
        {"a connection ending before the end mark stores nothing",
         "RCPT TO:<alpha@x>\r\nDATA\r\ncut", kOk + kStart, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CSmtpTestSite site;
        EXPECT_EQ(Converse(c.input), c.replies);
        EXPECT_EQ(site.Exists("alpha") ? MaskSeparators(site.Read("alpha")) : "", c.alpha);
        EXPECT_EQ(site.Exists("beta") ? MaskSeparators(site.Read("beta")) : "", c.beta);
    }
    // Recipients named by an abandoned connection get nothing of the next one's mail.
    CSmtpTestSite site;
    Converse("RCPT TO:<alpha@x>\r\n");
    EXPECT_EQ(Converse("RCPT TO:<beta@x>\r\nDATA\r\nfor beta\r\n.\r\n"), kOk + kStart + kOk);
    EXPECT_FALSE(site.Exists("alpha"));
    EXPECT_EQ(MaskSeparators(site.Read("beta")), "SEP\nfor beta\n\n");
}

TEST_F(SmtpSessionTest, OversizedMessageIsRefusedWholeAndItsMemoryGivenBack) {
    std::string line(1000, 'x');
    std::string data;
    for (std::size_t bytes = 0; bytes <= CSmtpSession::kMaxMessageBytes; bytes += line.size() + 1)
        data += line + "\r\n";
    CSmtpSession session;
    std::string input = "RCPT TO:<alpha@x>\r\nRCPT TO:<beta@x>\r\nDATA\r\n" + data + ".\r\n";
    std::string replies;
    for (std::string_view rest = input; !rest.empty();) {
        rest.remove_prefix(session.Feed(rest));
        // Held once for both recipients, and never past the bound.
        EXPECT_LE(CSmtpSession::TotalHeldBytes(), CSmtpSession::kMaxMessageBytes);
        if (session.HasUnit()) replies += session.RunUnit().m_reply;
    }
    EXPECT_EQ(replies, kOk + kOk + kStart + k552);
    EXPECT_EQ(CSmtpSession::TotalHeldBytes(), 0u);
    EXPECT_FALSE(m_site.Exists("alpha"));
    // The next message goes through again.
    input = "RCPT TO:<alpha@x>\r\nDATA\r\nsmall\r\n.\r\n";
    replies.clear();
    for (std::string_view rest = input; !rest.empty();) {
        rest.remove_prefix(session.Feed(rest));
        if (session.HasUnit()) replies += session.RunUnit().m_reply;
    }
    EXPECT_EQ(replies, kOk + kStart + kOk);
    EXPECT_EQ(MaskSeparators(m_site.Read("alpha")), "SEP\nsmall\n\n");
}

// Makes appends to one spool fail with a chosen error after writing part of the message.
class CFailingAccess : public CSpoolAccess {
  public:
    bool Append(int fd, std::span<const iovec> parts) override {
        if (++m_calls < m_failAt) return CSpoolAccess::Append(fd, parts);
        iovec partial = parts.back();
        partial.iov_len = std::min<std::size_t>(partial.iov_len, 5);
        CSpoolAccess::Append(fd, std::span<const iovec>(&partial, 1));
        errno = m_error;
        return false;
    }
    int m_failAt = 1;
    int m_calls = 0;
    int m_error = EIO;
};

TEST_F(SmtpSessionTest, AFailedStoreIsAnsweredAtTheEndMarkAndStoresNowhere) {
    struct Case {
        const char* label;
        int error;
        int failAt;  // the failing append: 2 fails beta after alpha was written
        std::string reply;
    } cases[] = {
        {"disk full", ENOSPC, 1, k452},
        {"file size limit", EFBIG, 1, k452},
        {"other error", EIO, 1, k451},
        {"second recipient fails: the first is cut back", ENOSPC, 2, k452},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        m_site.Write("alpha", "mailbox", "old alpha\n");
        m_site.Write("beta", "mailbox", "old beta\n");
        CFailingAccess failing;
        failing.m_error = c.error;
        failing.m_failAt = c.failAt;
        CMailSpool::SetAccess(&failing);
        EXPECT_EQ(Talk("RCPT TO:<alpha@x>\r\nRCPT TO:<beta@x>\r\nDATA\r\nSubject: m\r\n\r\n"
                       "body\r\n.\r\nQUIT\r\n"),
                  kOk + kOk + kStart + c.reply + Quit());
        CMailSpool::SetAccess(nullptr);
        EXPECT_EQ(m_site.Read("alpha"), "old alpha\n");
        EXPECT_EQ(m_site.Read("beta"), "old beta\n");
    }
    // The failure was that message's only: the next one is stored.
    EXPECT_EQ(Talk("RCPT TO:<alpha@x>\r\nDATA\r\nnext\r\n.\r\n"), kOk + kStart + kOk);
    EXPECT_EQ(MaskSeparators(m_site.Read("alpha")), "old alpha\nSEP\nnext\n\n");
}

// The real listener on a loopback socket, with a one-second idle limit instead of two minutes.
// Sends `text` and reads until the server closes the connection; returns what it wrote.
std::string TalkUntilClosed(int port, const std::string& text) {
    CFd client(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return "connect failed";
    }
    if (::send(client.Get(), text.data(), text.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(text.size())) {
        return "send failed";
    }
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(client.Get(), buffer, sizeof buffer, 0)) > 0;)
        received.append(buffer, n);
    return received;
}

TEST_F(SmtpSessionTest, IdleClientIsCutOffAndItsMessageDropped) {
    CSmtpListener listener(1);
    ASSERT_TRUE(listener.Listen(0, 1));
    ASSERT_GT(listener.BoundPort(), 0);
    // The client goes silent in the middle of DATA: the server closes without a further reply.
    EXPECT_EQ(TalkUntilClosed(listener.BoundPort(), "RCPT TO:<alpha@x>\r\nDATA\r\nheld\r\n"),
              kGreeting + kOk + kStart);
    EXPECT_EQ(TalkUntilClosed(listener.BoundPort(),
                              "RCPT TO:<alpha@x>\r\nDATA\r\nsmall\r\n.\r\nQUIT\r\n"),
              kGreeting + kOk + kStart + kOk + Quit());
    EXPECT_EQ(MaskSeparators(m_site.Read("alpha")), "SEP\nsmall\n\n");
}

}  // namespace
