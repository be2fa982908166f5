// The SMTP command loop on memory streams: replies byte for byte, RCPT parsing, DATA framing,
// recipient life across connections, the bounds and the failed-delivery answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "Server/Listener.h"
#include "Server/SocketStream.h"
#include "SmtpTestSite.h"
#include "platform/Fd.h"
#include "smtp/SmtpConversation.h"
#include "smtp/SmtpSession.h"

namespace {

const std::string kOk = "250 OK  Requested mail action okay, completed\r\n";
const std::string kStart = "354 Start mail input; end with <CRLF>.<CRLF>\r\n";
const std::string k500 = "500 Syntax error, command unrecognized\r\n";
const std::string k502 = "502 Command not implemented\r\n";
const std::string k550 = "550 Requested action not taken: mailbox unavailable\r\n";
const std::string k553 = "553 Requested action not taken: Mailbox name not allowed\r\n";
const std::string k552 = "552 Requested mail action aborted: exceeded storage allocation\r\n";
const std::string k451 = "451 Requested action aborted: local error in processing\r\n";

std::string Quit() {
    return "221 " + SmtpHostName() + " Service closing transmission channel\r\n";
}

class SmtpSessionTest : public ::testing::Test {
  protected:
    // One connection: the replies the loop wrote for `input`.
    std::string Talk(std::string input) {
        CSocketStream stream;
        stream.OpenMemory(std::move(input));
        m_conversation.RunSession(stream);
        return stream.TakeOutput();
    }

    CSmtpTestSite m_site;
    CSmtpConversation m_conversation;
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

TEST_F(SmtpSessionTest, UnknownNameStaysUnknownEvenAfterItsFolderAppears) {
    EXPECT_EQ(Talk("RCPT TO:<gamma@host>\r\n"), k550);
    m_site.AddMailbox("gamma");
    EXPECT_EQ(Talk("RCPT TO:<GAMMA@host>\r\n"), k550);
    EXPECT_EQ(Talk("RCPT TO:<Gamma@host>\r\nDATA\r\nx\r\n.\r\nQUIT\r\n"),
              k550 + kStart + kOk + Quit());
    EXPECT_FALSE(m_site.Exists("gamma"));
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
        {"first line may be the end mark", ".\r\n", ""},
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
        std::filesystem::remove(m_site.Path("alpha"));
        std::string replies = Talk("RCPT TO:<alpha@x>\r\nDATA\r\n" + c.data + "QUIT\r\n");
        EXPECT_EQ(replies, kOk + kStart + kOk + Quit());
        std::string spool = m_site.Read("alpha");
        if (c.stored.empty()) {
            EXPECT_EQ(spool, "");
        } else {
            EXPECT_EQ(MaskSeparators(spool), "SEP\n" + c.stored);
        }
    }
}

TEST_F(SmtpSessionTest, RecipientsAndTransactions) {
    struct Case {
        const char* label;
        std::string input;
        std::string alpha;  // masked spool, "" when absent
        std::string beta;
    } cases[] = {
        {"named twice in two cases: one copy",
         "RCPT TO:<alpha@x>\r\nRCPT TO:<ALPHA@y>\r\nDATA\r\none\r\n.\r\nQUIT\r\n", "SEP\none\n\n",
         ""},
        {"two recipients: a copy each",
         "RCPT TO:<alpha@x>\r\nRCPT TO:<beta@x>\r\nDATA\r\nboth\r\n.\r\nQUIT\r\n", "SEP\nboth\n\n",
         "SEP\nboth\n\n"},
        {"two DATA blocks: one message",
         "RCPT TO:<alpha@x>\r\nDATA\r\nfirst\r\n.\r\nDATA\r\nsecond\r\n.\r\nQUIT\r\n",
         "SEP\nfirst\nsecond\n\n", ""},
        {"RSET drops the lines",
         "MAIL FROM:<x>\r\nRCPT TO:<alpha@x>\r\nDATA\r\nno\r\n.\r\nRSET\r\nQUIT\r\n", "", ""},
        {"MAIL delivers the previous message",
         "RCPT TO:<alpha@x>\r\nDATA\r\nm1\r\n.\r\nMAIL FROM:<y>\r\nRCPT "
         "TO:<beta@x>\r\nDATA\r\nm2\r\n.\r\n"
         "QUIT\r\n",
         "SEP\nm1\n\n", "SEP\nm2\n\n"},
        {"DATA without recipients is read and dropped", "DATA\r\nlost\r\n.\r\nQUIT\r\n", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        CSmtpTestSite site;
        CSmtpConversation conversation;
        CSocketStream stream;
        stream.OpenMemory(c.input);
        conversation.RunSession(stream);
        EXPECT_EQ(site.Exists("alpha") ? MaskSeparators(site.Read("alpha")) : "", c.alpha);
        EXPECT_EQ(site.Exists("beta") ? MaskSeparators(site.Read("beta")) : "", c.beta);
    }
}

TEST_F(SmtpSessionTest, PendingLinesSurviveADisconnect) {
    EXPECT_EQ(Talk("RCPT TO:<alpha@x>\r\nDATA\r\nheld\r\n.\r\n"), kOk + kStart + kOk);
    EXPECT_FALSE(m_site.Exists("alpha"));
    // Input ends in the middle of DATA: what arrived stays pending as well.
    EXPECT_EQ(Talk("RCPT TO:<alpha@x>\r\nDATA\r\ncut"), kOk + kStart + kOk);
    EXPECT_FALSE(m_site.Exists("alpha"));
    EXPECT_EQ(Talk("MAIL FROM:<later@x>\r\n"), kOk);
    EXPECT_EQ(MaskSeparators(m_site.Read("alpha")), "SEP\nheld\ncut\n\n");
}

TEST_F(SmtpSessionTest, OversizedMessageIsRefusedWhole) {
    std::string line(1000, 'x');
    std::string data;
    for (std::size_t bytes = 0; bytes <= CMailRecipient::kMaxPendingBytes;
         bytes += line.size() + 1) {
        data += line + "\r\n";
    }
    EXPECT_EQ(Talk("RCPT TO:<alpha@x>\r\nRCPT TO:<beta@x>\r\nDATA\r\n" + data + ".\r\nNOOP\r\n"),
              kOk + kOk + kStart + k552 + kOk);
    for (const auto& recipient : m_conversation.Recipients()) {
        EXPECT_EQ(recipient->GetState(), CMailRecipient::kIdle);
        EXPECT_TRUE(recipient->m_pending.empty());
    }
    // The next message goes through again.
    EXPECT_EQ(Talk("RCPT TO:<alpha@x>\r\nDATA\r\nsmall\r\n.\r\nQUIT\r\n"),
              kOk + kStart + kOk + Quit());
    EXPECT_EQ(MaskSeparators(m_site.Read("alpha")), "SEP\nsmall\n\n");
    EXPECT_FALSE(m_site.Exists("beta"));
}

TEST_F(SmtpSessionTest, UnknownRecipientsAreBounded) {
    std::string input = "RCPT TO:<alpha@x>\r\n";
    for (int i = 0; i < 1200; ++i)
        input += "RCPT TO:<nobody" + std::to_string(i) + "@x>\r\n";
    Talk(input);
    const auto& recipients = m_conversation.Recipients();
    ASSERT_EQ(recipients.size(), CSmtpConversation::kMaxUnknownRecipients + 1);
    EXPECT_EQ(recipients.front()->m_name, "ALPHA");
    EXPECT_EQ(recipients[1]->m_name, "NOBODY200");  // the oldest were forgotten
    EXPECT_EQ(recipients.back()->m_name, "NOBODY1199");
}

class CFailingAccess : public CSpoolAccess {
  public:
    bool Append(int, std::string_view) override { return false; }
};

TEST_F(SmtpSessionTest, FailedDeliveryIsNeverAnsweredAsSuccess) {
    CFailingAccess failing;
    CMailRecipient::SetSpoolAccess(&failing);
    m_site.Write("alpha", "mailbox", "old\n");
    EXPECT_EQ(Talk("RCPT TO:<alpha@x>\r\nDATA\r\nm\r\n.\r\nQUIT\r\n"), kOk + kStart + kOk + k451);
    EXPECT_EQ(Talk("RCPT TO:<alpha@x>\r\nDATA\r\nm\r\n.\r\nMAIL FROM:<x>\r\n"),
              kOk + kStart + kOk + k451);
    CMailRecipient::SetSpoolAccess(nullptr);
    EXPECT_EQ(m_site.Read("alpha"), "old\n");
    // Nothing pending any more: the next MAIL succeeds without writing.
    EXPECT_EQ(Talk("MAIL FROM:<x>\r\n"), kOk);
    EXPECT_EQ(m_site.Read("alpha"), "old\n");
}

// The real worker on a loopback socket, with a one-second idle limit instead of two minutes.
class CQuickTimeoutListener : public CListener {
  public:
    ~CQuickTimeoutListener() override { StopWorkers(); }

  protected:
    std::unique_ptr<CServerThread> CreateWorker() override {
        return std::make_unique<CSmtpSession>(Socket(), 1);
    }
};

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

TEST_F(SmtpSessionTest, IdleClientIsCutOffAndItsLinesStayPending) {
    CQuickTimeoutListener listener;
    listener.Listen(0, 1);
    ASSERT_GT(listener.BoundPort(), 0);
    // The client goes silent in the middle of DATA: the server closes without a further reply.
    EXPECT_EQ(TalkUntilClosed(listener.BoundPort(), "RCPT TO:<alpha@x>\r\nDATA\r\nheld\r\n"),
              "220 Korvane SMTP Service ready\r\n" + kOk + kStart);
    EXPECT_FALSE(m_site.Exists("alpha"));
    EXPECT_EQ(TalkUntilClosed(listener.BoundPort(), "QUIT\r\n"),
              "220 Korvane SMTP Service ready\r\n" + Quit());
    EXPECT_EQ(MaskSeparators(m_site.Read("alpha")), "SEP\nheld\n\n");
}

TEST_F(SmtpSessionTest, OversizedDataCutOffByTheTimeOutDoesNotRefuseTheNextMessage) {
    CQuickTimeoutListener listener;
    listener.Listen(0, 1);
    ASSERT_GT(listener.BoundPort(), 0);
    std::string data;
    const std::string line(1000, 'x');
    for (std::size_t bytes = 0; bytes <= CMailRecipient::kMaxPendingBytes;
         bytes += line.size() + 1) {
        data += line + "\r\n";
    }
    EXPECT_EQ(TalkUntilClosed(listener.BoundPort(), "RCPT TO:<alpha@x>\r\nDATA\r\n" + data),
              "220 Korvane SMTP Service ready\r\n" + kOk + kStart);
    EXPECT_EQ(TalkUntilClosed(listener.BoundPort(),
                              "RCPT TO:<alpha@x>\r\nDATA\r\nsmall\r\n.\r\nQUIT\r\n"),
              "220 Korvane SMTP Service ready\r\n" + kOk + kStart + kOk + Quit());
    EXPECT_EQ(MaskSeparators(m_site.Read("alpha")), "SEP\nsmall\n\n");
}

}  // namespace
