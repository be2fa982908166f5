// RunServer.h - the whole life of the server: build the tree from the working directory,
// listen, serve until StopServer, tear down.
#pragma once

// Returns after StopServer (or at once when the HTTP socket could not be created).
void RunServer();
// Signals the stop event; safe from any thread, including a signal-handling thread.
void StopServer();
