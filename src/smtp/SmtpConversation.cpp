// SmtpConversation.cpp - command loop, command table and handlers of the SMTP receiver.
#include "smtp/SmtpConversation.h"

#include <netdb.h>

#include <cstdio>

#include "Server/LogText.h"
#include "Server/SocketStream.h"

namespace {

constexpr std::string_view kReplyStartData = "354 Start mail input; end with <CRLF>.<CRLF>";
constexpr std::string_view kReplyUnrecognized = "500 Syntax error, command unrecognized";
constexpr std::string_view kReplyNotImplemented = "502 Command not implemented";
constexpr std::string_view kReplyUnavailable =
    "550 Requested action not taken: mailbox unavailable";
constexpr std::string_view kReplyNotAllowed =
    "553 Requested action not taken: Mailbox name not allowed";
constexpr std::string_view kReplyTooBig =
    "552 Requested mail action aborted: exceeded storage allocation";
constexpr std::string_view kReplyLocalError =
    "451 Requested action aborted: local error in processing";

// The console shows each command before its reply goes out: the echo is flushed here, so a
// command that delivers mail shares one console write with the delivered lines.
void Reply(CSocketStream& out, std::string_view text, std::string_view more = {}) {
    std::fflush(stdout);
    out << text << more << EndLine;
}

// strtok over a string_view: skips leading delimiters, returns the token and moves past the
// one delimiter that ends it. Empty when only delimiters are left.
class CTokenizer {
  public:
    explicit CTokenizer(std::string_view text) : m_rest(text) {}
    std::string_view Next(std::string_view delimiters) {
        std::size_t start = m_rest.find_first_not_of(delimiters);
        if (start == std::string_view::npos) {
            m_rest = {};
            return {};
        }
        std::size_t end = m_rest.find_first_of(delimiters, start);
        std::string_view token =
            m_rest.substr(start, end == std::string_view::npos ? end : end - start);
        m_rest = end == std::string_view::npos ? std::string_view{} : m_rest.substr(end + 1);
        return token;
    }
    std::string_view Rest() const { return m_rest; }

  private:
    std::string_view m_rest;
};

// Buffered until the reply (see Reply); one unit, so a log line of another thread cannot
// come between the line and its line end.
void Echo(std::string_view line) {
    ::flockfile(stdout);
    WriteLogText(stdout, line);
    ::putc_unlocked('\n', stdout);
    ::funlockfile(stdout);
}

}  // namespace

namespace {

std::string LookUpHostName() {
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    std::string name;
    if (::getaddrinfo("localhost", nullptr, &hints, &result) == 0) {
        if (result && result->ai_canonname) name = result->ai_canonname;
        ::freeaddrinfo(result);
    }
    return name.empty() ? std::string("localhost") : name;
}

}  // namespace

const std::string& SmtpHostName() {
    // Looked up once: the lookup reads the resolver's files, which would otherwise cost two
    // lookups per connection (HELO and QUIT).
    static const std::string name = LookUpHostName();
    return name;
}

void SmtpUpperCase(std::string& text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
}

std::string RcptMailboxName(std::string_view argument) {
    CTokenizer tokens(argument);
    tokens.Next(" :");  // "TO", not checked
    std::string_view address = tokens.Next("<>");
    if (address.empty()) return {};
    return std::string(CTokenizer(address).Next("@."));
}

// The command table, in the order the words are compared.
const CSmtpConversation::CCommand CSmtpConversation::kCommands[] = {
    {"HELO", &CSmtpConversation::OnHelo}, {"MAIL", &CSmtpConversation::OnMail},
    {"RCPT", &CSmtpConversation::OnRcpt}, {"DATA", &CSmtpConversation::OnData},
    {"RSET", &CSmtpConversation::OnRset}, {"NOOP", &CSmtpConversation::OnNoop},
    {"QUIT", &CSmtpConversation::OnQuit},
};

void CSmtpConversation::RunSession(CSocketStream& connection) {
    std::string line;
    for (;;) {
        if (!connection.Good() || connection.AtEnd()) return;
        if (connection.ReadLine(line, kCommandChars) == CSocketStream::ERead::TimedOut) return;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Echo(line);
        if (line.size() < 4) {
            Reply(connection, kReplyUnrecognized);
            return;
        }
        SmtpUpperCase(line);
        CTokenizer tokens(line);
        std::string_view word = tokens.Next(" \t?\n\r");
        std::string_view argument = tokens.Rest();

        bool goOn = true;
        bool known = false;
        for (const CCommand& command : kCommands) {
            if (word != command.m_word) continue;
            goOn = (this->*command.m_handler)(connection, argument);
            known = true;
            break;
        }
        if (!known) Reply(connection, kReplyNotImplemented);
        if (!goOn) return;
    }
}

bool CSmtpConversation::OnHelo(CSocketStream& out, std::string_view /*argument*/) {
    Reply(out, "250 ", SmtpHostName());
    return true;
}

bool CSmtpConversation::DeliverActive() {
    bool allStored = true;
    for (auto& recipient : m_recipients) {
        if (recipient->GetState() == CMailRecipient::kActive && !recipient->Deliver()) {
            allStored = false;
        }
    }
    return allStored;
}

bool CSmtpConversation::OnMail(CSocketStream& out, std::string_view /*argument*/) {
    Reply(out, DeliverActive() ? kSmtpOk : kReplyLocalError);
    return true;
}

void CSmtpConversation::ForgetOldestUnknown() {
    std::size_t unknown = 0;
    for (const auto& recipient : m_recipients) {
        if (recipient->GetState() == CMailRecipient::kUnknown) ++unknown;
    }
    for (auto it = m_recipients.begin();
         unknown > kMaxUnknownRecipients && it != m_recipients.end();) {
        if ((*it)->GetState() == CMailRecipient::kUnknown) {
            it = m_recipients.erase(it);
            --unknown;
        } else {
            ++it;
        }
    }
}

bool CSmtpConversation::OnRcpt(CSocketStream& out, std::string_view argument) {
    std::string name = RcptMailboxName(argument);
    if (name.empty()) {
        Reply(out, kReplyNotAllowed);
        return true;
    }
    for (auto& recipient : m_recipients) {
        if (recipient->m_name != name) continue;
        if (recipient->GetState() == CMailRecipient::kUnknown) {
            Reply(out, kReplyUnavailable);
        } else {
            recipient->SetState(CMailRecipient::kActive);
            Reply(out, kSmtpOk);
        }
        return true;
    }
    auto recipient = std::make_unique<CMailRecipient>(std::move(name), CMailRecipient::kActive);
    bool unknown = recipient->GetState() == CMailRecipient::kUnknown;
    m_recipients.push_back(std::move(recipient));
    if (unknown) ForgetOldestUnknown();
    Reply(out, unknown ? kReplyUnavailable : kSmtpOk);
    return true;
}

bool CSmtpConversation::OnData(CSocketStream& out, std::string_view /*argument*/) {
    Reply(out, kReplyStartData);
    std::vector<CMailRecipient*> active;
    for (auto& recipient : m_recipients) {
        if (recipient->GetState() == CMailRecipient::kActive) active.push_back(recipient.get());
    }

    // The "." line ends the data only after a line that ended with CR LF (or as the first
    // line): a bare LF before it must not let a second message ride along unseen.
    // A recipient whose message passed the bound keeps nothing of it, however the DATA ends.
    auto dropOverflowed = [&active] {
        bool dropped = false;
        for (CMailRecipient* recipient : active) {
            if (recipient->Overflowed()) {
                recipient->Discard();
                dropped = true;
            }
        }
        return dropped;
    };

    bool previousEndedCrLf = true;
    bool previousCut = false;  // the previous piece was not the whole line
    bool cutEndedCr = false;
    std::string piece;
    for (;;) {
        CSocketStream::ERead result = out.ReadLine(piece, kDataChars);
        if (result == CSocketStream::ERead::TimedOut) {
            dropOverflowed();  // else its mark would refuse the recipient's next message
            return false;      // other pending lines stay
        }
        if (result != CSocketStream::ERead::Line) break;
        bool cut = piece.size() == kDataChars;
        if (previousCut && piece.empty()) {
            // Only the LF of a line that filled the previous piece exactly: no line of its own.
            previousCut = false;
            previousEndedCrLf = cutEndedCr;
            continue;
        }
        bool startsLine = !previousCut;
        if (startsLine && !cut && previousEndedCrLf && piece == ".\r") break;
        bool endedCr = !piece.empty() && piece.back() == '\r';
        if (endedCr) piece.pop_back();
        std::string_view text = piece;
        // Transparency: the client doubled a leading dot.
        if (startsLine && text.size() > 1 && text.front() == '.') text.remove_prefix(1);
        for (CMailRecipient* recipient : active)
            recipient->AddLine(text);
        previousCut = cut;
        if (cut) {
            cutEndedCr = endedCr;
        } else {
            previousEndedCrLf = endedCr;
        }
    }

    Reply(out, dropOverflowed() ? kReplyTooBig : kSmtpOk);
    return true;
}

bool CSmtpConversation::OnRset(CSocketStream& out, std::string_view /*argument*/) {
    for (auto& recipient : m_recipients) {
        if (recipient->GetState() == CMailRecipient::kActive) recipient->Discard();
    }
    Reply(out, kSmtpOk);
    return true;
}

bool CSmtpConversation::OnNoop(CSocketStream& out, std::string_view /*argument*/) {
    Reply(out, kSmtpOk);
    return true;
}

bool CSmtpConversation::OnQuit(CSocketStream& out, std::string_view /*argument*/) {
    if (DeliverActive()) {
        Reply(out, "221 " + SmtpHostName(), " Service closing transmission channel");
    } else {
        Reply(out, kReplyLocalError);
    }
    return false;
}
