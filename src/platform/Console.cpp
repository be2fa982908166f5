// Console.cpp - one thread waits for the signals and hands them on as console events; the
// process's only signal calls.
#include "platform/Console.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// SIGUSR1 only wakes the thread when it is to end.
constexpr int kWakeSignal = SIGUSR1;

std::mutex g_consoleLock;
std::function<bool(int)> g_handler;  // guarded by g_consoleLock
std::function<void()> g_hangup;      // guarded by g_consoleLock
std::thread g_waiter;                // guarded by g_consoleLock
std::atomic<bool> g_ending{false};

sigset_t ConsoleSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGQUIT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, kWakeSignal);
    return signals;
}

int EventOf(int signal) {
    switch (signal) {
        case SIGINT:
            return kCtrlCEvent;
        case SIGQUIT:
            return kCtrlBreakEvent;
        default:
            return kCtrlTerminateEvent;
    }
}

void WaitForSignals() {
    const sigset_t signals = ConsoleSignals();
    for (;;) {
        int signal = 0;
        if (::sigwait(&signals, &signal) != 0) continue;
        if (g_ending.load()) return;
        if (signal == kWakeSignal) continue;  // from outside: nothing to do
        std::function<bool(int)> handler;
        std::function<void()> hangup;
        {
            std::scoped_lock guard(g_consoleLock);
            handler = g_handler;
            hangup = g_hangup;
        }
        if (signal == SIGHUP) {
            if (hangup) hangup();
        } else if (handler) {
            handler(EventOf(signal));
        }
    }
}

}  // namespace

void RunHangupHandler() {
    std::function<void()> hangup;
    {
        std::scoped_lock guard(g_consoleLock);
        hangup = g_hangup;
    }
    if (hangup) hangup();
}

bool SetConsoleCtrlHandler(std::function<bool(int event)> handler) {
    std::scoped_lock guard(g_consoleLock);
    g_handler = std::move(handler);
    if (g_waiter.joinable()) return true;
    const sigset_t signals = ConsoleSignals();
    if (int rc = ::pthread_sigmask(SIG_BLOCK, &signals, nullptr); rc != 0) {
        errno = rc;
        return false;
    }
    g_ending = false;
    try {
        g_waiter = std::thread(WaitForSignals);
    } catch (const std::system_error& e) {
        errno = e.code().value();
        return false;
    }
    return true;
}

void SetHangupHandler(std::function<void()> handler) {
    std::scoped_lock guard(g_consoleLock);
    g_hangup = std::move(handler);
}

void IgnoreBrokenPipes() {
    ::signal(SIGPIPE, SIG_IGN);
}

void RemoveConsoleCtrlHandler() {
    std::thread waiter;
    {
        std::scoped_lock guard(g_consoleLock);
        g_handler = nullptr;
        g_hangup = nullptr;
        waiter = std::move(g_waiter);
    }
    if (!waiter.joinable()) return;
    g_ending = true;
    ::pthread_kill(waiter.native_handle(), kWakeSignal);
    waiter.join();
}
