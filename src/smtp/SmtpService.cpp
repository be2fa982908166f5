// SmtpService.cpp - registers the SMTP listener factory; RunServer calls it only when a topics
// folder exists.
#include "smtp/SmtpService.h"

#include "Server/ServerState.h"
#include "smtp/SmtpListener.h"

void RegisterSmtpService() {
    g_state.m_makeSmtpListener = [] { return std::make_unique<CSmtpListener>(); };
}
