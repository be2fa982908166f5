// SmtpSession.cpp - the accept loop of the SMTP worker.
#include "smtp/SmtpSession.h"

#include <cstdio>

CSmtpSession::CSmtpSession(int listenSocket, int timeoutSeconds) : m_listenSocket(listenSocket) {
    m_connection.SetTimeouts(timeoutSeconds, timeoutSeconds);
    Start();
}

CSmtpSession::~CSmtpSession() = default;

int CSmtpSession::Run() {
    for (;;) {
        if (!m_connection.Accept(m_listenSocket)) return 12;
        m_connection << kSmtpGreeting << EndLine;
        m_conversation.RunSession(m_connection);
        m_connection.Close();
        std::fflush(stdout);
    }
}
