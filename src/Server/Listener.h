// Listener.h - CListener, one listening TCP socket and how it is served, and CHttpListener,
// which serves it from an event loop (its connections are CHttpConnection objects) with a pool
// of `clients` workers. The SMTP listener derives from CListener with worker threads of its
// own that each take one connection (src/smtp/).
//
// The constructor creates the socket and never throws: failures are reported on standard
// error and leave the socket invalid. Listen binds, listens (backlog at least SOMAXCONN) and
// starts serving; it returns false, after the messages, when the port cannot be had. The
// destructor ends every connection and joins every thread before it returns.
#pragma once

#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Server/HttpConnection.h"
#include "Server/ReplyQueue.h"
#include "Server/ServerThread.h"
#include "Server/WorkerPool.h"
#include "platform/EventLoop.h"
#include "platform/Fd.h"

class CListener {
  public:
    CListener();
    virtual ~CListener();
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    bool IsValid() const { return m_socket.IsValid(); }
    // Binds to `port` on every local address, listens, starts `workers` workers.
    // Failures are reported on standard error; no workers then, and false.
    bool Listen(int port, int workers);
    int Socket() const { return m_socket.Get(); }
    // The port actually bound (tests bind port 0).
    int BoundPort() const;
    // The errno of a failed Listen.
    int Error() const { return m_error; }

  protected:
    // Serves the listening socket with `workers` workers; by default threads of CreateWorker.
    virtual void StartServing(int workers);
    // One worker bound to the listening socket; it starts running at once.
    virtual std::unique_ptr<CServerThread> CreateWorker() { return nullptr; }
    // Shuts the socket and joins the workers; derived destructors call it first, so no worker
    // outlives the object that created it.
    void StopWorkers();

  private:
    CFd m_socket;
    int m_error = 0;
    std::vector<std::unique_ptr<CServerThread>> m_workers;
};

class CHttpListener : public CListener {
  public:
    // HTTP clients speak first: a connection is handed over once its first bytes have come,
    // or after kDeferAcceptSeconds without any, which saves the loop a wake-up per connection.
    static constexpr int kDeferAcceptSeconds = 1;

    CHttpListener();
    ~CHttpListener() override;
    // Applies to connections accepted after the next Listen.
    void SetConnectionSettings(const CHttpConnection::CSettings& settings) {
        m_settings = settings;
    }

    // --- for the connections (loop thread unless said) ---
    CEventLoop& Loop() { return *m_loop; }       // any thread
    CWorkerPool& Pool() { return *m_pool; }      // any thread
    CReplyBudget& Budget() { return m_budget; }  // any thread
    const CHttpConnection::CSettings& Settings() const { return m_settings; }
    void Forget(CHttpConnection* connection);

  protected:
    void StartServing(int workers) override;

  private:
    class CAcceptor : public CEventHandler {
      public:
        explicit CAcceptor(CHttpListener& owner) : m_owner(owner) {}
        void OnEvents(std::uint32_t) override { m_owner.AcceptAll(); }

      private:
        CHttpListener& m_owner;
    };

    void AcceptAll();
    void PauseAccepting();
    void ResumeAccepting();
    void Tick();
    void StopServing();

    CHttpConnection::CSettings m_settings;
    CReplyBudget m_budget;
    std::unique_ptr<CEventLoop> m_loop;
    std::unique_ptr<CWorkerPool> m_pool;
    std::thread m_loopThread;
    CAcceptor m_acceptor{*this};
    // Loop thread only (after StartServing, until StopServing has joined the loop).
    std::unordered_map<CHttpConnection*, std::shared_ptr<CHttpConnection>> m_connections;
    std::size_t m_maxConnections = 0;
    bool m_accepting = false;
};
