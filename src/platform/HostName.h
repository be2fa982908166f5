// HostName.h - the official name of "localhost" as the resolver gives it: the HTTP listener
// fills an empty host name from it, SMTP names itself with it in its HELO and QUIT replies.
#pragma once

#include <string>

// The canonical name of "localhost" (IPv4), or empty when the lookup fails. Each call asks the
// resolver again; callers that need it often keep it.
std::string LocalHostName();
