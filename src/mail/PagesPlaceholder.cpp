// PagesPlaceholder.cpp - stand-ins for the mail pages until they land: a mailbox and a
// message answer with nothing, so the path walk can already reach them.
#include "mail/MailboxNode.h"
#include "mail/MessageNode.h"

void CMessageNode::Reply(CSocketStream&) {}
void CMessageNode::WriteListEntry(CSocketStream&) {}
void CMessageNode::WriteNavigation(CSocketStream&) {}
std::string CMessageNode::BuildMessageUrl(CSocketStream&, const CNode*) {
    return {};
}
void CMailboxNode::Reply(CSocketStream&) {}
