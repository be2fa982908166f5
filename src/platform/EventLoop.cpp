// EventLoop.cpp - epoll, an eventfd for cross-thread wake-ups, and a coarse tick.
#include "platform/EventLoop.h"

#include <sys/eventfd.h>

#include <cerrno>

namespace {

constexpr int kMaxEvents = 256;

}  // namespace

CEventLoop::CEventLoop()
    : m_epoll(::epoll_create1(EPOLL_CLOEXEC)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!IsValid()) return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up descriptor
    ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_wake.Get(), &event);
}

CEventLoop::~CEventLoop() = default;

bool CEventLoop::Add(int fd, std::uint32_t events, CEventHandler* handler) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = handler;
    return ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

bool CEventLoop::Modify(int fd, std::uint32_t events, CEventHandler* handler) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = handler;
    return ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_MOD, fd, &event) == 0;
}

void CEventLoop::Remove(int fd) {
    ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, fd, nullptr);
}

void CEventLoop::Defer(std::shared_ptr<void> object) {
    m_deferred.push_back(std::move(object));
}

void CEventLoop::Post(std::function<void()> task) {
    {
        std::scoped_lock guard(m_postLock);
        if (m_stopped) return;
        m_posted.push_back(std::move(task));
    }
    Wake();
}

void CEventLoop::Stop() {
    {
        std::scoped_lock guard(m_postLock);
        m_stopped = true;
    }
    Wake();
}

void CEventLoop::Wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wake.Get(), &one, sizeof one);
}

void CEventLoop::RunPosted() {
    std::vector<std::function<void()>> tasks;
    {
        std::scoped_lock guard(m_postLock);
        tasks.swap(m_posted);
    }
    for (auto& task : tasks)
        task();
}

void CEventLoop::Run() {
    epoll_event events[kMaxEvents];
    auto nextTick = std::chrono::steady_clock::now() + kTick;
    for (;;) {
        int n = ::epoll_wait(m_epoll.Get(), events, kMaxEvents, static_cast<int>(kTick.count()));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            auto* handler = static_cast<CEventHandler*>(events[i].data.ptr);
            if (handler) {
                handler->OnEvents(events[i].events);
            } else {
                std::uint64_t count;
                [[maybe_unused]] ssize_t r = ::read(m_wake.Get(), &count, sizeof count);
            }
        }
        RunPosted();
        if (auto now = std::chrono::steady_clock::now(); now >= nextTick) {
            nextTick = now + kTick;
            if (m_tick) m_tick();
        }
        m_deferred.clear();
        std::scoped_lock guard(m_postLock);
        if (m_stopped) break;
    }
    std::scoped_lock guard(m_postLock);
    m_stopped = true;
    m_posted.clear();
}
