// SmtpSession.h - CSmtpSession, one connection's SMTP state: the command table, the
// recipients of its transaction and the message being received. No socket and no thread: a
// driver (SmtpConnection.h) feeds it the bytes it receives and sends the replies it returns, so
// it runs the same under any driver and on plain strings (tests, fuzzing).
//
// The transaction is the connection's own: it starts with no recipients, and a DATA block is
// stored when its end mark arrives, in every recipient's spool or in none; its 250 means the
// message is stored (and synced). MAIL, RSET and QUIT store nothing. A connection that ends
// before the end mark stores nothing.
//
// Memory is bounded: a message held by one session takes at most kMaxMessageBytes (past that
// DATA is read and dropped and answered 552), all sessions together hold at most
// kMaxTotalBytes (past that, 452), and at most kMaxUnknownRecipients unknown names are
// remembered for the process (the oldest is forgotten first). Running out of memory ends the
// session with 451, never the process.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/SmtpCommandText.h"

class CMailboxNode;

class CSmtpSession {
  public:
    static constexpr std::size_t kCommandChars = 999;  // a command line comes in pieces of this
    static constexpr std::size_t kDataChars = 2047;    // a data line comes in pieces of this
    static constexpr std::size_t kMaxUnknownRecipients = 1000;
    static constexpr std::size_t kMaxMessageBytes = 32u * 1024 * 1024;
    static constexpr std::size_t kMaxTotalBytes = 256u * 1024 * 1024;
    // Past a message, a buffer up to this size is kept for the next one.
    static constexpr std::size_t kKeptCapacity = 256u * 1024;

    struct CResult {
        std::string m_reply;  // CRLF-ended reply lines
        bool m_close = false;
    };

    CSmtpSession() = default;
    ~CSmtpSession();
    CSmtpSession(const CSmtpSession&) = delete;
    CSmtpSession& operator=(const CSmtpSession&) = delete;

    // The reply to send right after accept.
    std::string Greeting();
    // Consumes received bytes up to the end of one unit (a command line, or a whole DATA
    // block through its end mark) and returns how many it took: all of them when no unit is
    // complete yet. Cheap and without I/O; the caller keeps the rest for after RunUnit.
    std::size_t Feed(std::string_view received);
    bool HasUnit() const { return m_unitReady; }
    // Carries out the ready unit (a command, or storing the message) and returns its reply.
    CResult RunUnit();
    // Carries out the ready unit only when it touches no disk and waits for nothing: every
    // command, unless a reload holds the site tree. False leaves the unit for RunUnit (the
    // store at the end mark always goes there). Lets the event loop answer commands itself.
    bool RunUnitNow(CResult& result);
    // The connection ended without QUIT: whatever is pending is dropped.
    void Closed();

    // Bytes held for messages by every session of the process.
    static std::size_t TotalHeldBytes();
    // Forgets the remembered unknown names (tests).
    static void ForgetUnknownNamesForTests();

  private:
    enum class EBound { kNone, kMessage, kTotal, kMemory };

    CResult RunReadyCommand();
    CResult RunCommand(std::string& line);
    CResult RunStore();
    std::size_t FeedCommand(std::string_view received);
    std::size_t FeedData(std::string_view received);
    void DataPiece(std::string_view piece, bool cut);
    void AddLine(std::string_view text);
    void DropMessage();

    std::string OnRcpt(std::string_view argument);

    bool m_unitReady = false;
    bool m_inData = false;  // after 354, until the end mark
    std::string m_line;     // the command line, or the data piece, being received

    // The message being received: its lines, each followed by "\n" (no line holds one).
    std::string m_message;
    std::size_t m_accounted = 0;  // capacity of m_message counted in the process total
    EBound m_bound = EBound::kNone;
    // Data framing state.
    bool m_previousEndedCrLf = true;
    bool m_previousCut = false;  // the previous piece was not the whole line
    bool m_cutEndedCr = false;

    std::vector<CMailboxNode*> m_recipients;  // this transaction's, in order of first RCPT
    std::vector<std::string> m_recipientNames;
};
