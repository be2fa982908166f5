// SmtpListener.cpp - the SMTP listener makes a CSmtpConnection of each accepted client.
#include "smtp/SmtpListener.h"

#include "smtp/SmtpConnection.h"

CSmtpListener::~CSmtpListener() {
    StopServing();
}

std::shared_ptr<CConnection> CSmtpListener::Connect(CFd socket, const sockaddr_storage&) {
    return std::make_shared<CSmtpConnection>(*this, std::move(socket));
}
