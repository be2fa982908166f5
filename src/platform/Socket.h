// Socket.h - the BSD socket calls of the server, in one place: the listening socket, accepting
// without blocking, and the non-blocking sends and receives the event loop drives.
// Functions return -1 with errno set on failure, as the calls they wrap.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Sockets {

// A TCP/IPv4 socket with SO_REUSEADDR, close-on-exec (BindListeningSocket may swap it for
// an IPv6 one).
int OpenListening();
int Listen(int fd, int backlog);
// The port `fd` is bound to, -1 when unknown.
int BoundPort(int fd);
// The kernel hands over a connection only once it has data, or after `seconds`.
void DeferAccept(int fd, int seconds);
// Accepts on `fd` return at once when no connection waits (the loop's listeners).
void SetNonBlocking(int fd);
// Stops accepts: a blocked accept returns at once.
void Shutdown(int fd);

// A connection in non-blocking mode, and its peer's address; -1 when none is waiting (EAGAIN)
// or on failure.
int AcceptNonBlocking(int listenFd, sockaddr_storage& peer);
// "192.0.2.7", "2001:db8::1"; an IPv4 client on a dual socket as IPv4; "" when not IP.
std::string AddressText(const sockaddr_storage& address);
// True for accept failures that say nothing about the listening socket.
bool IsTransientAcceptError(int error);

// One non-blocking send of at most `length` bytes; `more` says more follows at once.
ssize_t SendSome(int fd, const char* data, std::size_t length, bool more);
// One non-blocking sendfile from `*offset` (advanced) of the file `fileFd`.
ssize_t SendFileSome(int fd, int fileFd, std::int64_t* offset, std::size_t length);
ssize_t ReceiveSome(int fd, char* data, std::size_t length);
// Ends our side of the connection (the peer sees the end after the bytes sent).
void ShutdownWrite(int fd);
// Takes up to `limit` bytes the peer had already sent, without waiting: closing with unread
// input makes the kernel reset the connection, which can cost the peer our reply.
void DrainReceived(int fd, std::size_t limit);

}  // namespace Sockets
