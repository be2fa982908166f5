// LogText.h - making outside text safe for the operator's console.
//
// Every byte below 0x20 other than tab and line feed, and 0x7F, is written as "\x" and two
// upper-case hex digits, so a client cannot send terminal control sequences to whoever reads
// the log. Line feeds stay: callers pass whole lines or groups of them.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// The escaped copy of `text`. Cannot fail.
std::string EscapeLogText(std::string_view text);
// Writes the escaped `text` to `out` without copying its clean runs (mail bodies can be large).
void WriteLogText(std::FILE* out, std::string_view text);
