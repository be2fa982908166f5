// SmtpListener.h - CSmtpListener, the SMTP listening socket: its connections are
// CSmtpConnection objects on the listener's event loop, and `smtpclients` workers run their
// commands and store their messages.
#pragma once

#include "server/Listener.h"

class CSmtpListener : public CListener {
  public:
    // An idle client must not hold its session longer than this.
    static constexpr int kTimeoutSeconds = 120;

    explicit CSmtpListener(int timeoutSeconds = kTimeoutSeconds)
        : m_timeoutSeconds(timeoutSeconds) {}
    ~CSmtpListener() override;

    int TimeoutSeconds() const { return m_timeoutSeconds; }

  protected:
    std::shared_ptr<CConnection> Connect(CFd socket, const sockaddr_storage& peer) override;

  private:
    int m_timeoutSeconds;
};
