// Notify.h - status datagrams to the service manager that started us, written by hand on the
// socket named by $NOTIFY_SOCKET (no client library). Does nothing about what the messages mean.
#pragma once

#include <string>
#include <string_view>

// The socket address from $NOTIFY_SOCKET; empty when we were not started by the manager.
std::string NotifySocketPath();

// Sends `message` ("READY=1", "STATUS=...\nSTOPPING=1", ...) as one datagram to `socketPath`:
// a file system path, or an abstract name written with a leading "@". False with errno set
// when the path is empty or too long, or the socket cannot be created or the send fails.
bool SendNotify(const std::string& socketPath, std::string_view message);
