// BindAddress.h - where the listeners bind: by default one socket that takes IPv6 and IPv4
// ("[::]" with IPV6_V6ONLY off), IPv4 alone where the host has no IPv6; or the one numeric
// address of the root keyword `listen=` (brackets around an IPv6 address allowed).
#pragma once

#include <string>

#include "platform/Fd.h"

// Start-up, before the listeners bind: "" is every address.
void SetListenAddress(std::string address);
// Binds `socket` (an IPv4 stream socket) to `port`, first replacing it with an IPv6 socket
// where the address asks for one. False with errno set (EINVAL: not a numeric address).
bool BindListeningSocket(CFd& socket, int port);
