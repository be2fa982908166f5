// MailArchive.cpp - placeholder: until mailboxes land, topics subfolders stay plain folders.
#include "mail/MailArchive.h"

void RegisterMailArchive() {}
