// WorkerPool.cpp - a fixed set of threads over one job queue.
#include "server/WorkerPool.h"

#include <unistd.h>

#include <cstdio>
#include <exception>

CWorkerPool::CWorkerPool(int count) {
    for (int i = 0; i < count; ++i)
        m_threads.emplace_back([this] { Work(); });
}

CWorkerPool::~CWorkerPool() {
    Stop();
    Join();
}

void CWorkerPool::Submit(Job job) {
    {
        std::scoped_lock guard(m_lock);
        if (m_stopping) return;
        m_jobs.push_back(std::move(job));
    }
    m_changed.notify_one();
}

void CWorkerPool::Stop() {
    {
        std::scoped_lock guard(m_lock);
        m_stopping = true;
        m_jobs.clear();
    }
    m_changed.notify_all();
    m_stop.notify_all();
}

void CWorkerPool::Join() {
    for (std::thread& thread : m_threads)
        if (thread.joinable()) thread.join();
    m_threads.clear();
}

bool CWorkerPool::SleepFor(std::chrono::milliseconds pause) {
    std::unique_lock guard(m_lock);
    return !m_stop.wait_for(guard, pause, [this] { return m_stopping; });
}

void CWorkerPool::Work() {
    const unsigned threadId = static_cast<unsigned>(::gettid());
    for (;;) {
        Job job;
        {
            std::unique_lock guard(m_lock);
            m_changed.wait(guard, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping) return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        try {
            job(threadId);
        } catch (const std::exception& error) {
            // Out of memory while answering: this client loses its reply, the worker goes on.
            std::fprintf(stderr, "Request failed: %s\n", error.what());
        }
    }
}
