// ServerThread.h - CServerThread, the base of every worker: a thread that runs Run() once.
// A derived constructor finishes its own members and then calls Start(), so Run never sees a
// half-built object. The owner (the listener) joins the thread before destroying the worker.
#pragma once

#include <atomic>
#include <thread>

class CServerThread {
  public:
    virtual ~CServerThread();
    CServerThread(const CServerThread&) = delete;
    CServerThread& operator=(const CServerThread&) = delete;

    void Join();
    // Called from another thread at server stop, before Join: end a blocked connection now
    // instead of after its time-out. The base has nothing to interrupt.
    virtual void Interrupt() {}
    unsigned ThreadId() const { return m_threadId.load(); }  // kernel thread id, for the log
    int ExitCode() const { return m_exitCode.load(); }

  protected:
    CServerThread() = default;
    void Start();
    virtual int Run() = 0;  // the thread body; returns the exit code (12 when accept fails)

  private:
    std::thread m_thread;
    std::atomic<unsigned> m_threadId{0};
    std::atomic<int> m_exitCode{0};
};
