// Listener.h - CListener, one listening TCP socket and its fixed pool of worker threads, and
// CHttpListener, whose workers are CHttpConnection objects. The SMTP listener derives from
// CListener the same way (src/smtp/).
//
// The constructor creates the socket and never throws: failures are reported on standard
// error and leave the socket invalid. Listen binds, listens (backlog at least SOMAXCONN) and
// starts `workers` workers. The destructor shuts the socket down, which makes every worker's
// accept fail, and joins the workers before it returns.
#pragma once

#include <memory>
#include <vector>

#include "Server/HttpConnection.h"
#include "Server/ServerThread.h"
#include "platform/Fd.h"

class CListener {
  public:
    CListener();
    virtual ~CListener();
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    bool IsValid() const { return m_socket.IsValid(); }
    // Binds to `port` on every local address, listens, starts `workers` workers.
    // Failures are reported on standard error; no workers then.
    void Listen(int port, int workers);
    int Socket() const { return m_socket.Get(); }
    // The port actually bound (tests bind port 0).
    int BoundPort() const;

  protected:
    // One worker bound to the listening socket; it starts running at once.
    virtual std::unique_ptr<CServerThread> CreateWorker() = 0;
    // Shuts the socket and joins the workers; derived destructors call it first, so no worker
    // outlives the object that created it.
    void StopWorkers();

  private:
    CFd m_socket;
    std::vector<std::unique_ptr<CServerThread>> m_workers;
};

class CHttpListener : public CListener {
  public:
    // HTTP clients speak first: a connection is handed to a worker once its first bytes have
    // come, or after kDeferAcceptSeconds without any. The worker then wakes once per
    // connection instead of for the accept and again for the request, and a connection that
    // has sent nothing yet holds no worker meanwhile.
    static constexpr int kDeferAcceptSeconds = 1;

    CHttpListener();
    ~CHttpListener() override;
    // Applies to workers started by later Listen calls.
    void SetConnectionSettings(const CHttpConnection::CSettings& settings) {
        m_settings = settings;
    }

  protected:
    std::unique_ptr<CServerThread> CreateWorker() override;

  private:
    CHttpConnection::CSettings m_settings;
};
