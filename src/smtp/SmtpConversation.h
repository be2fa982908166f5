// SmtpConversation.h - the SMTP command loop of one connection and the recipients that outlive
// it. Kept apart from the worker thread (SmtpSession.h) so that the loop runs on any
// CSocketStream, a memory stream included (unit tests, fuzzing).
//
// Recipients, their states and their pending lines belong to the conversation object, not to
// one connection: lines received before a disconnect are delivered at a later MAIL or QUIT.
// Memory is bounded: a pending message holds at most CMailRecipient::kMaxPendingBytes (past
// that DATA is read and dropped and answered 552), and at most kMaxUnknownRecipients unknown
// names are remembered (the oldest is forgotten first).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/MailRecipient.h"

class CSocketStream;

class CSmtpConversation {
  public:
    static constexpr std::size_t kCommandChars = 999;  // a command line comes in pieces of this
    static constexpr std::size_t kDataChars = 2047;    // a data line comes in pieces of this
    static constexpr std::size_t kMaxUnknownRecipients = 1000;

    // Reads and answers commands until QUIT, a short line, the end of input or a time-out.
    // The greeting is the caller's (it belongs to the accept).
    void RunSession(CSocketStream& connection);

    const std::vector<std::unique_ptr<CMailRecipient>>& Recipients() const { return m_recipients; }

  private:
    // Each handler returns false when the session ends; the argument is the text after the
    // command word and its delimiter (upper case).
    using Handler = bool (CSmtpConversation::*)(CSocketStream& out, std::string_view argument);
    struct CCommand {
        std::string_view m_word;
        Handler m_handler;
    };
    static const CCommand kCommands[7];

    bool OnHelo(CSocketStream& out, std::string_view argument);
    bool OnMail(CSocketStream& out, std::string_view argument);
    bool OnRcpt(CSocketStream& out, std::string_view argument);
    bool OnData(CSocketStream& out, std::string_view argument);
    bool OnRset(CSocketStream& out, std::string_view argument);
    bool OnNoop(CSocketStream& out, std::string_view argument);
    bool OnQuit(CSocketStream& out, std::string_view argument);

    // Delivers every active recipient in list order; false when any message was not stored.
    bool DeliverActive();
    void ForgetOldestUnknown();

    std::vector<std::unique_ptr<CMailRecipient>> m_recipients;  // in order of first RCPT
};

// Reply texts after the code and its space.
inline constexpr std::string_view kSmtpGreeting = "220 Korvane SMTP Service ready";
inline constexpr std::string_view kSmtpOk = "250 OK  Requested mail action okay, completed";

// The official name of "localhost", looked up on first use; "localhost" when the lookup
// fails.
const std::string& SmtpHostName();
// Upper-cases ASCII a-z in place.
void SmtpUpperCase(std::string& text);
// The mailbox name in a RCPT argument (already upper case), or empty when it has no address
// or no name: a token up to " " or ":", then the address up to "<" or ">", then the name up
// to "@" or "." inside the address, each step skipping leading delimiters.
std::string RcptMailboxName(std::string_view argument);
