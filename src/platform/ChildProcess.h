// ChildProcess.h - the program's own path, and running a child program to its end.
#pragma once

#include <string>
#include <vector>

// The program file's full path (/proc/self/exe); false with errno when it cannot be read.
bool GetModuleFileName(std::string& path);
// Runs argv[0] (searched on PATH) with the given arguments; stdout into `output` when not null
// (at most 64 KiB kept), stderr stays ours. The exit status, or -1 with errno set when the
// child could not be started or did not exit normally.
int RunChild(const std::vector<std::string>& argv, std::string* output);
