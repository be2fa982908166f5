// MailDate.h - reading the dates mail carries into a point in time, for feeds and listings
// that must state it in RFC 3339.
#pragma once

#include <ctime>
#include <optional>
#include <string_view>

// Understands the Date line forms found in real mail and the envelope forms:
//   "Mon, 9 Jan 1995 10:11:12 -0800", "9 Jan 95 10:11 GMT", "Mon, 09 Jan 1995 10:11:12 +0100
//   (CET)", "Mon Jan  9 10:11:12 1995" (an envelope line's), "Mon Jan 9 1995 10:11:12" (the
//   stored envelope date), "09-Jan-1995 10:11:12 EST".
// The weekday is not checked. A two-digit year is 19xx from 50 on and 20xx below (three
// digits: 1900 plus it). Zones: numeric offsets, UT/UTC/GMT/Z and the North American names;
// a date without a zone (an envelope's, or an unknown zone name) is local time. Nothing when
// the day, month, year or time is missing or out of range.
std::optional<std::time_t> ParseMailDate(std::string_view text);
