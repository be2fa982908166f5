// MailArchive.cpp - the factory through which the folder scan builds mailboxes.
#include "mail/MailArchive.h"

#include <memory>

#include "server/ServerState.h"
#include "mail/MailboxNode.h"

void RegisterMailArchive() {
    g_state.m_makeMailbox = [](CFolderNode* parent, const CFindData& entry,
                               CScanContext& context) -> std::unique_ptr<CFolderNode> {
        return std::make_unique<CMailboxNode>(parent, entry, context);
    };
}
