// SmtpConnection.h - CSmtpConnection, one SMTP client on the listener's event loop. The loop
// reads what the client sends and feeds it to the connection's CSmtpSession; a command that
// touches no disk is answered on the loop, the store at the end of DATA (and a command that
// finds the site tree busy with a reload) runs on a worker, and its reply goes back through
// the loop. While a unit runs, or while a reply waits for the client to take it, no
// more is read, so a session holds at most one receive buffer beside its message. A waiting
// session holds no thread.
//
// An idle client (nothing received while we wait for its next command, or a reply it does not
// take) is cut off after the listener's time-out, as the blocking driver's read time-out did.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include <sys/socket.h>

#include "server/Connection.h"
#include "platform/Fd.h"
#include "smtp/SmtpSession.h"

class CSmtpListener;

class CSmtpConnection : public CConnection, public std::enable_shared_from_this<CSmtpConnection> {
  public:
    CSmtpConnection(CSmtpListener& owner, CFd socket);
    ~CSmtpConnection() override;

    void Start() override;
    void OnEvents(std::uint32_t events) override;
    void Tick(std::chrono::steady_clock::time_point now) override;
    void Close(bool forget = true) override;

  private:
    enum class EPhase { Reading, Working, Sending, Closed };

    void Read();
    // Feeds held bytes to the session; hands a complete unit to a worker.
    void FeedHeld();
    void Work(unsigned threadId);  // worker thread
    void WorkDone(CSmtpSession::CResult result);
    void StartReply(std::string bytes, bool close);
    void Reply(std::string bytes, bool close);
    void SendPending();
    // Sends what is left of the reply; true when all went and the next unit may be read.
    bool Flush();
    void Watch(std::uint32_t events);
    void Unwatch();

    CSmtpListener& m_owner;
    CFd m_socket;
    EPhase m_phase = EPhase::Reading;
    bool m_watched = false;
    bool m_closeAfterReply = false;
    std::string m_held;  // received, not yet fed
    std::string m_out;   // reply bytes the client has not taken yet
    std::size_t m_outAt = 0;
    std::chrono::steady_clock::time_point m_lastActivity;

    // The session is used by the loop (Feed) and by one worker at a time (RunUnit), never both
    // at once; m_sessionLock only orders a stop's Closed against a unit still running.
    std::mutex m_sessionLock;
    bool m_unitRunning = false;  // guarded by m_sessionLock
    bool m_ended = false;        // guarded by m_sessionLock: Closed was called
    CSmtpSession m_session;
};
