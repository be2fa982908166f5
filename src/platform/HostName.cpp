// HostName.cpp - the "localhost" lookup.
#include "platform/HostName.h"

#include <netdb.h>

std::string LocalHostName() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (::getaddrinfo("localhost", nullptr, &hints, &result) != 0 || !result) return {};
    std::string name = result->ai_canonname ? result->ai_canonname : "";
    ::freeaddrinfo(result);
    return name;
}
