// AutoResetEvent.h - a one-waiter-wakes event, as the stop signal of the server needs it.
// Set() wakes one Wait() (or the next one); the event then resets itself. Signalling twice
// before anybody waits still ends only one wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class CAutoResetEvent {
  public:
    void Set();
    void Wait();
    // Waits at most `timeout`; true when the event was signalled (and is now reset).
    bool WaitFor(std::chrono::milliseconds timeout);

  private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_signalled = false;  // guarded by m_lock
};
