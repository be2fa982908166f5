// SmtpListener.cpp - the SMTP listener creates one CSmtpSession on its socket.
#include "smtp/SmtpListener.h"

#include "smtp/SmtpSession.h"

CSmtpListener::~CSmtpListener() {
    StopWorkers();
}

std::unique_ptr<CServerThread> CSmtpListener::CreateWorker() {
    return std::make_unique<CSmtpSession>(Socket());
}
