// HttpDate.h - reading the dates clients send back in request headers (If-Modified-Since,
// If-Range). Writing dates is FormatHttpDate (HttpHeader.h).
#pragma once

#include <ctime>
#include <optional>
#include <string_view>

// Accepts the three forms HTTP clients use, all in GMT:
//   "Sun, 06 Nov 1994 08:49:37 GMT"   (the usual one)
//   "Sunday, 06-Nov-94 08:49:37 GMT"  (two-digit year; also what our own headers say)
//   "Sun Nov  6 08:49:37 1994"        (the C library's asctime)
// The day name is not checked against the date. A two-digit year is the nearest such year that
// is not more than 50 years after `now`'s. Anything else, or an impossible date, gives nullopt.
std::optional<std::time_t> ParseHttpDate(std::string_view text, std::time_t now);
