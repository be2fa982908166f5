// ServerThread.cpp - the worker thread: records its kernel thread id, runs Run once, keeps
// the exit code. Joining is the owner's job (the listener joins before it lets a worker go).
#include "Server/ServerThread.h"

#include <unistd.h>

CServerThread::~CServerThread() {
    Join();
}

void CServerThread::Start() {
    m_thread = std::thread([this] {
        m_threadId.store(static_cast<unsigned>(::gettid()));
        m_exitCode.store(Run());
    });
}

void CServerThread::Join() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}
