// Console.cpp - console mode: one thread waits for the stop signals and calls StopServer.
#include "service/Console.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "Server/RunServer.h"

namespace {

constexpr const char* kServiceName = "Vantrel";

void WaitForSignals(sigset_t signals, const std::atomic<bool>& done) {
    for (;;) {
        int signal = 0;
        if (::sigwait(&signals, &signal) != 0) continue;
        if (done.load()) return;
        if (signal == SIGINT || signal == SIGQUIT || signal == SIGTERM) {
            std::printf("Stopping %s.\n", kServiceName);
            std::fflush(stdout);
            StopServer();
        }
    }
}

}  // namespace

void RunConsole() {
    ::signal(SIGPIPE, SIG_IGN);  // a client that went away must not end the server
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGQUIT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);  // wakes the signal thread when the server has ended
    // Before any other thread exists, so every thread inherits the mask.
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::printf("Starting %s.\n", kServiceName);
    std::fflush(stdout);
    std::atomic<bool> done{false};
    std::thread waiter(WaitForSignals, signals, std::cref(done));
    RunServer();
    done = true;
    ::pthread_kill(waiter.native_handle(), SIGUSR1);
    waiter.join();
}
