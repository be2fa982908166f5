// MimePage.h - the message page's body and parts for a mailbox with the `mime` keyword.
#pragma once

#include <string>

class CMessageNode;
class CMailboxNode;
class CSocketStream;

// "text/html; charset=utf-8" for a `mime` mailbox, else "text/html" as always.
const char* MailPageType(const CMailboxNode& mailbox);

// The message's bytes from the spool, envelope line left out, at most kMimeMaxMessage bytes
// (`cut` set when there were more). False when the spool cannot be read.
bool ReadMessageBytes(const CMessageNode& message, std::string& bytes, bool& cut);

// The decoded text through the mail-text conversion, then the list of the other parts and
// what was skipped.
void WriteMimeBody(CSocketStream& out, CMessageNode& message, const std::string& bytes, bool cut);
