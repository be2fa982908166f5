// SmtpWorker.h - CSmtpWorker, one of the SMTP listener's `smtpclients` threads: accepts a
// connection, drives its CSmtpSession with blocking reads and writes until it ends, and
// accepts the next. The workers together serve that many connections at once; further
// clients wait in the listen backlog.
#pragma once

#include <mutex>

#include "Server/ServerThread.h"

class CSmtpSession;

class CSmtpWorker : public CServerThread {
  public:
    // An idle client must not hold a worker longer than this.
    static constexpr int kTimeoutSeconds = 120;

    // Starts the thread at once. `timeoutSeconds` bounds each read and write of a connection.
    explicit CSmtpWorker(int listenSocket, int timeoutSeconds = kTimeoutSeconds);
    ~CSmtpWorker() override;

    // Server stop: ends the connection being served now, and any accepted later, at once.
    void Interrupt() override;

  protected:
    // Returns 12 when accept fails (the listening socket was closed).
    int Run() override;

  private:
    void Serve(int client);
    bool Send(int client, const std::string& bytes);

    int m_listenSocket;
    int m_timeoutSeconds;
    std::mutex m_mutex;  // m_client and m_stopping, read by Interrupt from another thread
    int m_client = -1;
    bool m_stopping = false;
};
