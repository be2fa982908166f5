// HttpConnection.h - one HTTP connection of the event loop, and the request path it runs.
//
// The loop reads the request head without blocking (CRequestHead) and keeps its deadline; the
// complete head goes to a worker, which answers it through the connection's CReplyQueue; the
// loop sends what the peer could not take at once and ends the connection. A waiting
// connection holds memory only, never a worker.
//
// ReadRequest, HandleRequest and ServeRequest work on any CSocketStream, so tests and fuzzing
// drive the same request path in memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/Connection.h"
#include "server/ReplyQueue.h"
#include "server/RequestHead.h"
#include "server/SocketStream.h"
#include "platform/EventLoop.h"
#include "platform/Fd.h"

class CHttpListener;
class CWorkerPool;

// Reads the request head from `in` (up to the empty line, the end of input or a bound) into
// `lines`, without their line ends. Never fails; no lines means no request.
void ReadRequest(CSocketStream& in, std::vector<std::string>& lines);
// Writes the complete reply to `lines` on `out`: the 599 refusals, the 404 page, the cart,
// or the found node's Reply. Uses g_state.m_root; sets out.m_options only while it runs.
void HandleRequest(CSocketStream& out, const std::vector<std::string>& lines);
// One request as a worker runs it: the request log, the delay, HandleRequest, the pause after
// the reply. `pool` (may be null) cuts the pauses short at a stop.
void ServeRequest(CSocketStream& stream, const std::vector<std::string>& lines, CWorkerPool* pool);

class CHttpConnection : public CConnection, public std::enable_shared_from_this<CHttpConnection> {
  public:
    struct CSettings {
        int m_readTimeout = 30;  // seconds from accept to a complete head; 0: none
        // A reply slower than m_minimumRate bytes per second on average once m_graceSeconds
        // have passed is cut off: a slow reader holds memory, and it must not hold it forever.
        int m_graceSeconds = 30;
        std::int64_t m_minimumRate = 1024;
    };

    CHttpConnection(CHttpListener& owner, CFd socket, const sockaddr_storage& peer);
    ~CHttpConnection() override;

    // --- loop thread ---
    void Start() override;
    void OnEvents(std::uint32_t events) override;
    // Deadlines: the head's, and the reply's minimum rate.
    void Tick(std::chrono::steady_clock::time_point now) override;
    // Ends the connection now; `forget`: tell the owner (false while it tears everything down).
    void Close(bool forget = true) override;

  private:
    enum class EPhase { Reading, Replying, Closed };

    void Read();
    void Dispatch();
    void WantWrite();
    void WorkDone();
    void Work(unsigned threadId);  // worker thread
    void Watch(std::uint32_t events);
    void Unwatch();

    CHttpListener& m_owner;
    CFd m_socket;
    sockaddr_storage m_peer;
    CRequestHead m_head;
    EPhase m_phase = EPhase::Reading;
    bool m_watched = false;  // registered with the loop
    bool m_workDone = false;
    std::chrono::steady_clock::time_point m_headDeadline;
    std::chrono::steady_clock::time_point m_rateStart;  // of the current rate window
    std::uint64_t m_rateSentAtStart = 0;
    std::unique_ptr<CReplyQueue> m_queue;
};
