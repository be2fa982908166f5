// Console.h - console control events from signals: SIGINT is Ctrl+C, SIGQUIT Ctrl+Break, and
// SIGTERM (what init systems and containers send) stops like them. SIGHUP goes to the hangup
// handler (the server reopens its access log and
// reloads the tree).
// No code runs in an asynchronous signal handler: a dedicated thread takes the signals with
// sigwait and calls the handler there.
#pragma once

#include <functional>

constexpr int kCtrlCEvent = 0;
constexpr int kCtrlBreakEvent = 1;
constexpr int kCtrlCloseEvent = 2;
constexpr int kCtrlLogoffEvent = 5;
constexpr int kCtrlShutdownEvent = 6;
constexpr int kCtrlTerminateEvent = 100;  // SIGTERM; no console equivalent

// Blocks the three signals in the calling thread (call it before any other thread exists, so
// every later thread inherits the block) and starts the thread that hands them to `handler`.
// A second call replaces the handler. False with errno set when the thread cannot start.
bool SetConsoleCtrlHandler(std::function<bool(int event)> handler);
// What SIGHUP does, on the signal thread (nothing until set; the block comes with the thread).
void SetHangupHandler(std::function<void()> handler);
// Runs the hangup handler on the calling thread: for a SIGHUP taken some other way (the
// service dispatcher's signalfd).
void RunHangupHandler();
// A write to a peer that has gone must fail with EPIPE, not end the process (every mode).
void IgnoreBrokenPipes();
// Ends and joins the signal thread; nothing is called after it returns. Safe without a Set.
void RemoveConsoleCtrlHandler();
