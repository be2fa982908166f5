// ReplyQueue.h - CReplyQueue, the reply path of one connection: the worker's bytes and file
// bodies go out from the worker without waiting while the peer keeps up, and are queued for the
// event loop once the peer's socket buffer is full. The loop sends the queue as the peer reads.
//
// CReplyBudget bounds the bytes queued for slow readers over all connections (and per
// connection): past a bound, a worker waits before it produces more, so memory stays bounded
// and nothing is dropped. File bodies queue as a descriptor and an offset, not as bytes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "server/ReplySink.h"
#include "platform/Fd.h"

class CReplyBudget {
  public:
    static constexpr std::size_t kDefaultLimit = 64 * 1024 * 1024;
    static constexpr std::size_t kDefaultPerConnection = 4 * 1024 * 1024;

    explicit CReplyBudget(std::size_t limit = kDefaultLimit,
                          std::size_t perConnection = kDefaultPerConnection)
        : m_limit(limit), m_perConnection(perConnection) {}

    void Take(std::size_t bytes) { m_held.fetch_add(bytes); }
    void Give(std::size_t bytes);
    std::size_t Held() const { return m_held.load(); }
    // Waits while the total or `connectionHeld()` is past its bound and `gone()` is false.
    void WaitForRoom(const std::function<std::size_t()>& connectionHeld,
                     const std::function<bool()>& gone);
    // Wakes every waiter to look again (a connection has gone).
    void WakeAll();

  private:
    const std::size_t m_limit;
    const std::size_t m_perConnection;
    std::atomic<std::size_t> m_held{0};
    std::atomic<int> m_waiters{0};
    std::mutex m_lock;
    std::condition_variable m_room;
};

class CReplyQueue : public CReplySink {
  public:
    enum class EDrain { Idle, Pending, Done, Failed };

    // `socket` is not owned. `wantWrite` is called (from a worker) when the loop is to send the
    // queue once the socket is writable.
    CReplyQueue(int socket, CReplyBudget& budget, std::function<void()> wantWrite);
    ~CReplyQueue() override;

    // --- worker side ---
    bool Send(std::string& bytes, bool more) override;
    std::int64_t SendFile(int fd, std::int64_t offset, std::int64_t length) override;
    // Ends our side at once when everything is sent; otherwise the loop does when it is.
    void Finish() override;

    // --- loop side ---
    // Sends what the socket takes now.
    EDrain Drain();
    // Idle: nothing queued and the reply still being produced; Done: sent and ended.
    EDrain State();
    // The connection is going: drops what is queued and lets a waiting worker go on.
    void Fail();
    std::uint64_t BytesSent() const { return m_sent.load(); }
    bool Waiting() const { return m_loopOwns.load(); }  // bytes queued for the peer

  private:
    // Sends [at, end) of `fd` as bytes; `end` becomes where the file really ended.
    bool CopyFileBody(int fd, std::int64_t at, std::int64_t& end);
    struct CSegment {
        std::string m_bytes;
        std::size_t m_at = 0;
        CFd m_file;  // a file body when valid: m_offset up to m_end
        std::int64_t m_offset = 0;
        std::int64_t m_end = 0;
    };
    // Sends the front segments; false on a failed send (m_failed then set). Lock held.
    bool SendQueued();
    void Queue(CSegment segment, std::size_t heldBytes);
    void EndLocked();

    const int m_socket;
    CReplyBudget& m_budget;
    std::function<void()> m_wantWrite;
    std::mutex m_lock;
    std::deque<CSegment> m_segments;          // guarded by m_lock
    std::atomic<std::size_t> m_heldBytes{0};  // string bytes queued; written under m_lock
    std::atomic<bool> m_loopOwns{false};      // written under m_lock
    bool m_finished = false;                  // guarded by m_lock
    bool m_ended = false;                     // our side shut; guarded by m_lock
    std::atomic<bool> m_failed{false};
    std::atomic<std::uint64_t> m_sent{0};
};
