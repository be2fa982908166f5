// SmtpListener.cpp - the SMTP listener creates its CSmtpWorker threads on its socket.
#include "smtp/SmtpListener.h"

#include "smtp/SmtpWorker.h"

CSmtpListener::~CSmtpListener() {
    StopWorkers();
}

std::unique_ptr<CServerThread> CSmtpListener::CreateWorker() {
    return std::make_unique<CSmtpWorker>(Socket());
}
