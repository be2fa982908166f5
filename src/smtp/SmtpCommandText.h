// SmtpCommandText.h - the texts and rules of SMTP commands with no session state: the reply
// texts, the command tokens, the RCPT address rule, the mailbox lookup and the console echo.
#pragma once

#include <string>
#include <string_view>

class CMailboxNode;

// Reply texts after the code and its space.
inline constexpr std::string_view kSmtpGreeting = "220 Korvane SMTP Service ready";
inline constexpr std::string_view kSmtpOk = "250 OK  Requested mail action okay, completed";
inline constexpr std::string_view kReplyStartData = "354 Start mail input; end with <CRLF>.<CRLF>";
inline constexpr std::string_view kReplyUnrecognized = "500 Syntax error, command unrecognized";
inline constexpr std::string_view kReplyNotImplemented = "502 Command not implemented";
inline constexpr std::string_view kReplyUnavailable =
    "550 Requested action not taken: mailbox unavailable";
inline constexpr std::string_view kReplyNotAllowed =
    "553 Requested action not taken: Mailbox name not allowed";
inline constexpr std::string_view kReplyTooBig =
    "552 Requested mail action aborted: exceeded storage allocation";
inline constexpr std::string_view kReplyNoStorage =
    "452 Requested action not taken: insufficient system storage";
inline constexpr std::string_view kReplyLocalError =
    "451 Requested action aborted: local error in processing";

// `text` and `more` as one CRLF-ended reply line.
std::string SmtpReplyLine(std::string_view text, std::string_view more = {});

// strtok over a string_view: skips leading delimiters, returns the token and moves past the
// one delimiter that ends it. Empty when only delimiters are left.
class CSmtpTokenizer {
  public:
    explicit CSmtpTokenizer(std::string_view text) : m_rest(text) {}
    std::string_view Next(std::string_view delimiters);
    std::string_view Rest() const { return m_rest; }

  private:
    std::string_view m_rest;
};

// Shows a command line on the console, whole, before its reply goes out.
void SmtpEcho(std::string_view line);

// The official name of "localhost", looked up on first use; "localhost" when the lookup
// fails.
const std::string& SmtpHostName();
// Upper-cases ASCII a-z in place.
void SmtpUpperCase(std::string& text);
// The mailbox name in a RCPT argument (already upper case), or empty when it has no address
// or no name: a token up to " " or ":", then the address up to "<" or ">", then the name up
// to "@" or "." inside the address, each step skipping leading delimiters.
std::string RcptMailboxName(std::string_view argument);
// The mailbox named `name` ignoring case among the topics folder's children, or null.
CMailboxNode* FindMailboxFolder(std::string_view name);
