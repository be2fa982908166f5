// HTEscape.h - escaping of path text for URLs and decoding of %XX escapes in request paths.
#pragma once

#include <string>
#include <string_view>

// The escaped copy of a path text: letters, digits and "*+-./@_" stay, every other byte is
// written as "%" and two upper-case hex digits of the whole byte (so UTF-8 names survive the
// round trip). Cannot fail.
std::string HTEscape(std::string_view text);

// Decodes %XX escapes in place. A "%" takes up to two following characters (a final "%4" gives
// 0x40); a "%" that ends the text is kept. Digits other than 0-9/A-F are taken as c - 87, as
// the request parser always did. The result is never longer than the input; it may hold NULs.
void UrlUnescape(std::string& text);
