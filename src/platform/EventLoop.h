// EventLoop.h - CEventLoop, one epoll instance and the thread that runs it: it owns the
// waiting of every socket, so a connection that waits costs memory, never a thread.
//
// Handlers are registered by descriptor and called on the loop thread only. Post runs a task
// on the loop thread from any other thread; the tick runs about every kTick, for deadlines.
// A handler removed during a batch of events may still be called for that batch's events:
// its owner keeps it alive until AfterBatch (see Defer).
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Fd.h"

class CEventHandler {
  public:
    virtual ~CEventHandler() = default;
    // `events` are epoll bits (EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR).
    virtual void OnEvents(std::uint32_t events) = 0;
};

class CEventLoop {
  public:
    static constexpr std::chrono::milliseconds kTick{200};

    CEventLoop();
    ~CEventLoop();
    CEventLoop(const CEventLoop&) = delete;
    CEventLoop& operator=(const CEventLoop&) = delete;

    bool IsValid() const { return m_epoll.IsValid() && m_wake.IsValid(); }
    // Level-triggered interest in `events` of `fd`; loop thread (or before Run).
    bool Add(int fd, std::uint32_t events, CEventHandler* handler);
    bool Modify(int fd, std::uint32_t events, CEventHandler* handler);
    void Remove(int fd);
    // Keeps `object` alive until the current batch of events has been handled.
    void Defer(std::shared_ptr<void> object);

    // Any thread: runs `task` on the loop thread soon. Dropped once the loop has stopped.
    void Post(std::function<void()> task);
    // Called on the loop thread about every kTick.
    void SetTick(std::function<void()> tick) { m_tick = std::move(tick); }

    // Runs on the calling thread until Stop.
    void Run();
    // Any thread: Run returns after the batch it is in.
    void Stop();

  private:
    void Wake();
    void RunPosted();

    CFd m_epoll;
    CFd m_wake;  // eventfd: Post and Stop
    std::function<void()> m_tick;
    std::vector<std::shared_ptr<void>> m_deferred;
    std::mutex m_postLock;
    std::vector<std::function<void()>> m_posted;  // guarded by m_postLock
    bool m_stopped = false;                       // guarded by m_postLock
};
