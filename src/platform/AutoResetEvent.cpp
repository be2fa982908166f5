// AutoResetEvent.cpp - condition-variable event that resets when a waiter takes it.
#include "platform/AutoResetEvent.h"

void CAutoResetEvent::Set() {
    {
        std::scoped_lock guard(m_lock);
        m_signalled = true;
    }
    m_changed.notify_one();
}

void CAutoResetEvent::Wait() {
    std::unique_lock guard(m_lock);
    m_changed.wait(guard, [this] { return m_signalled; });
    m_signalled = false;
}

bool CAutoResetEvent::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock guard(m_lock);
    if (!m_changed.wait_for(guard, timeout, [this] { return m_signalled; })) return false;
    m_signalled = false;
    return true;
}
