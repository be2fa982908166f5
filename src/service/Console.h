// Console.h - running the server in a terminal: "Starting Vantrel.", then RunServer until
// Ctrl+C (SIGINT), Ctrl+\ (SIGQUIT) or SIGTERM prints "Stopping Vantrel." and stops it.
#pragma once

// Blocks the stop signals in every thread and ignores SIGPIPE; a dedicated thread takes the
// signals with sigwait, so no code runs in an asynchronous handler. Returns when RunServer
// does.
void RunConsole();
