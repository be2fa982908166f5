// Listing.cpp - placeholder until the HTML listing lands: folders answer with nothing yet.
#include "Server/FolderNode.h"
#include "Server/SocketStream.h"

void CFileNode::WriteListEntry(CSocketStream& out) { CNode::WriteListEntry(out); }
void CFolderNode::Reply(CSocketStream& out) { ReplyListing(out); }
void CFolderNode::ReplyListing(CSocketStream&) {}
