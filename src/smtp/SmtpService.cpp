// SmtpService.cpp - registers the SMTP listener factory; RunServer calls it only when a topics
// folder exists, after the root folder (and so its vantrel.cfg) has been read.
#include "smtp/SmtpService.h"

#include "server/FolderNode.h"
#include "server/ServerState.h"
#include "mail/MailSpool.h"
#include "smtp/SmtpListener.h"

void RegisterSmtpService() {
    g_state.m_makeSmtpListener = [] {
        CMailSpool::SetSync(!(g_state.m_root && g_state.m_root->Options().m_noSync));
        return std::make_unique<CSmtpListener>();
    };
}
