// HeaderValues.h - the values the spool reader takes from header lines, and the date key the
// date-sorted list is ordered by. Each extractor takes the whole header line; all are pure.
#pragma once

#include <string>
#include <string_view>
#include <utility>

// "From x Mon Jan  9 10:11:12 1995" -> "Mon Jan 9 1995 10:11:12" (year before time), <= 80.
std::string EnvelopeDate(std::string_view line);
// The value two bytes after the first ":", leading white space skipped, <= 80;
// "(no date)" when the line ends at or one byte after the colon.
std::string HeaderDate(std::string_view line);
// (name, address) of a "From:" line; "(no email)" / "(no name)" when absent, each <= 80.
std::pair<std::string, std::string> ParseSender(std::string_view line);
// The text after the first "<" up to ">", backslashes left out, <= 80; empty without "<".
std::string MessageIdValue(std::string_view line);
// The value two bytes after the first ":", leading white space skipped, <= 100, trimmed.
std::string SubjectValue(std::string_view line);
// "dated: ...", "<...>" or "...sage of ..." reference; empty when none applies.
std::string ReplyReference(std::string_view line);

// "MM/DD/YY hh:mm" from a date such as "Mon, 9 Jan 1995 10:11:12 -0800"; "(no date)" stays.
std::string BuildDateKey(std::string_view date);
// The key of the date order: four-digit year, month, day, then the time as the date key has
// it ("1995010910:11"); "(no date)" stays and sorts before every date.
std::string BuildDateOrder(std::string_view date);
// "01".."12" for a word starting with a month abbreviation (any case), else "".
std::string MonthNumber(std::string_view word);
// "01".."07" for a word starting with a weekday abbreviation (any case), else "".
std::string WeekdayNumber(std::string_view word);
