// Connection.h - CConnection, what a listener's event loop knows of each of its connections:
// it is started once accepted, told about its socket's events and the loop's tick, and can be
// ended at once (server stop, a deadline).
#pragma once

#include <chrono>

#include "platform/EventLoop.h"

class CConnection : public CEventHandler {
  public:
    // --- loop thread (Close also from the stopping thread, once the loop has ended) ---
    virtual void Start() = 0;
    virtual void Tick(std::chrono::steady_clock::time_point now) = 0;
    // Ends the connection now; `forget`: tell the listener (false while it ends them all).
    virtual void Close(bool forget = true) = 0;
};
