// MailArchive.h - plugs the mail archive into the core: registers the factory through which
// the folder scan builds a mailbox for every subfolder of the topics folder.
#pragma once

void RegisterMailArchive();
