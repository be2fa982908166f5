// Listener.h - CListener, one listening TCP socket served by an event loop and a pool of
// workers: the loop accepts, waits for every connection's bytes and keeps its deadlines; the
// workers handle whole units of work (a request head, an SMTP command or DATA block). The
// HTTP listener (CHttpListener, below) and the SMTP listener (src/smtp/) say only what a
// connection is.
//
// The constructor creates the socket and never throws: failures are reported on standard
// error and leave the socket invalid. Listen binds, listens (backlog at least SOMAXCONN) and
// starts serving; it returns false, after the messages, when the port cannot be had. The
// derived destructor calls StopServing, which ends every connection and joins every thread.
#pragma once

#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/HttpConnection.h"
#include "server/ReplyQueue.h"
#include "server/Connection.h"
#include "server/WorkerPool.h"
#include "platform/EventLoop.h"
#include "platform/Fd.h"

class CListener {
  public:
    CListener();
    virtual ~CListener();
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    bool IsValid() const { return m_socket.IsValid(); }
    // Binds to `port` (every local address unless `listen=` names one), listens, and serves
    // with `workers` workers. Failures are reported on standard error; nothing runs, and false.
    bool Listen(int port, int workers);
    int Socket() const { return m_socket.Get(); }
    // The port actually bound (tests bind port 0).
    int BoundPort() const;
    // The errno of a failed Listen.
    int Error() const { return m_error; }

    // --- for the connections ---
    CEventLoop& Loop() { return *m_loop; }   // any thread
    CWorkerPool& Pool() { return *m_pool; }  // any thread
    void Forget(CConnection* connection);    // loop thread

  protected:
    // A connection for an accepted socket; it starts once registered.
    virtual std::shared_ptr<CConnection> Connect(CFd socket, const sockaddr_storage& peer) = 0;
    // At a stop, after every connection is closed and before the workers are joined: wake
    // workers that wait on something of the derived listener's.
    virtual void WakeWorkers() {}
    // Ends every connection and joins the loop and the workers; derived destructors call it
    // first, so no worker outlives what it uses.
    void StopServing();

  private:
    class CAcceptor : public CEventHandler {
      public:
        explicit CAcceptor(CListener& owner) : m_owner(owner) {}
        void OnEvents(std::uint32_t) override { m_owner.AcceptAll(); }

      private:
        CListener& m_owner;
    };

    void StartServing(int workers);
    void AcceptAll();
    void PauseAccepting();
    void ResumeAccepting();
    void Tick();

    CFd m_socket;
    int m_error = 0;
    std::unique_ptr<CEventLoop> m_loop;
    std::unique_ptr<CWorkerPool> m_pool;
    std::thread m_loopThread;
    CAcceptor m_acceptor{*this};
    // Loop thread only (after StartServing, until StopServing has joined the loop).
    std::unordered_map<CConnection*, std::shared_ptr<CConnection>> m_connections;
    std::size_t m_maxConnections = 0;
    bool m_accepting = false;
};

class CHttpListener : public CListener {
  public:
    // HTTP clients speak first: a connection is handed over once its first bytes have come,
    // or after kDeferAcceptSeconds without any, which saves the loop a wake-up per connection.
    static constexpr int kDeferAcceptSeconds = 1;

    CHttpListener();
    ~CHttpListener() override;
    // Applies to connections accepted after it.
    void SetConnectionSettings(const CHttpConnection::CSettings& settings) {
        m_settings = settings;
    }

    CReplyBudget& Budget() { return m_budget; }  // any thread
    const CHttpConnection::CSettings& Settings() const { return m_settings; }

  protected:
    std::shared_ptr<CConnection> Connect(CFd socket, const sockaddr_storage& peer) override;
    void WakeWorkers() override { m_budget.WakeAll(); }

  private:
    CHttpConnection::CSettings m_settings;
    CReplyBudget m_budget;
};
