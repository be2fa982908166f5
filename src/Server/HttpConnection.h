// HttpConnection.h - CHttpConnection, one HTTP worker: accept a client, read its request
// head, answer it, close, accept again, until accept fails (the listener was shut).
//
// ReadRequest and HandleRequest are also free functions over a CSocketStream, so tests and
// fuzzing drive the same code without a thread or a socket.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Server/ServerThread.h"
#include "Server/SocketStream.h"

// Bounds of one request head: a longer line comes back in pieces of kMaxRequestLine; past
// kMaxRequestLines lines or kMaxRequestBytes bytes reading stops and the head read so far
// is answered.
constexpr std::size_t kMaxRequestLine = 999;
constexpr std::size_t kMaxRequestLines = 1000;
constexpr std::size_t kMaxRequestBytes = 64 * 1024;

// Reads header lines up to the empty line (or the end of input, a read time-out, the read
// time-out passing for the head as a whole, or a bound) into `lines`, without their line ends.
// Never fails; no lines means no request.
void ReadRequest(CSocketStream& in, std::vector<std::string>& lines);
// Writes the complete reply to `lines` on `out`: the 599 refusals, the 404 page, the cart,
// or the found node's Reply. Uses g_state.m_root; sets out.m_options only while it runs.
void HandleRequest(CSocketStream& out, const std::vector<std::string>& lines);

class CHttpConnection : public CServerThread {
  public:
    struct CSettings {
        bool m_buffered = false;  // read the head into memory first, send the reply at Close
        int m_readTimeout = 30;   // seconds
        int m_writeTimeout = 60;
    };
    CHttpConnection(int listenFd, const CSettings& settings);
    ~CHttpConnection() override;

    // Shuts the current client's socket down (server stop), so Run does not wait for it.
    void Interrupt() override { m_stream.Interrupt(); }

  protected:
    int Run() override;  // returns 12 when accept fails

  private:
    void Serve();  // one request on the accepted connection; Run closes it

    int m_listenFd;  // not owned: the listener's socket
    CSocketStream m_stream;
    std::vector<std::string> m_requestLines;
};
