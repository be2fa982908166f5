// SmtpSession.h - CSmtpSession, the one worker of the SMTP listener: accepts a connection,
// greets, runs the command loop (SmtpConversation.h), closes, and accepts the next. Further
// clients wait in the listen backlog meanwhile.
#pragma once

#include "Server/ServerThread.h"
#include "Server/SocketStream.h"
#include "smtp/SmtpConversation.h"

class CSmtpSession : public CServerThread {
  public:
    // One worker serves all mail, so an idle client must not hold it longer than this.
    static constexpr int kTimeoutSeconds = 120;

    // Starts the thread at once. `timeoutSeconds` bounds each read and write of a connection.
    explicit CSmtpSession(int listenSocket, int timeoutSeconds = kTimeoutSeconds);
    ~CSmtpSession() override;

  protected:
    // Returns 12 when accept fails (the listening socket was closed).
    int Run() override;

  private:
    int m_listenSocket;
    CSocketStream m_connection;
    CSmtpConversation m_conversation;  // recipients survive from one connection to the next
};
