// SmtpListener.h - CSmtpListener, the SMTP listening socket and its `smtpclients` workers.
#pragma once

#include "Server/Listener.h"

class CSmtpListener : public CListener {
  public:
    ~CSmtpListener() override;

  protected:
    std::unique_ptr<CServerThread> CreateWorker() override;
};
