// WorkerPool.h - CWorkerPool, the threads that handle whole units of work (a request head the
// loop has read), `count` at once; everything that waits for a peer stays on the loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CWorkerPool {
  public:
    // A job gets the kernel thread id of the worker running it (for the request log).
    using Job = std::function<void(unsigned threadId)>;

    explicit CWorkerPool(int count);
    ~CWorkerPool();  // Stop, then join
    CWorkerPool(const CWorkerPool&) = delete;
    CWorkerPool& operator=(const CWorkerPool&) = delete;

    // Any thread. Jobs still queued at Stop are dropped.
    void Submit(Job job);
    // Server stop: no job starts any more, and SleepFor returns at once.
    void Stop();
    // Waits for the workers to end (after Stop).
    void Join();
    // A pause inside a job that a stop cuts short; false when cut short.
    bool SleepFor(std::chrono::milliseconds pause);

  private:
    void Work();

    std::mutex m_lock;
    std::condition_variable m_changed;  // a job or the stop
    std::condition_variable m_stop;     // the stop only (sleeping jobs)
    std::deque<Job> m_jobs;             // guarded by m_lock
    bool m_stopping = false;            // guarded by m_lock
    std::vector<std::thread> m_threads;
};
