// MailText.h - turns one line of mail text into HTML: "<" and ">" escaped, mail addresses made
// into "mailto:" anchors, "http://" and "ftp://" URLs made into links. Each call works on one
// line; nothing carries over between lines. Reads no files and writes no stream.
//
// Lines are growable strings, so escaping never has to give up: "<" and ">" are escaped
// whatever the line's length. Only the linking steps have a bound (kMailLineBound, the size the
// page has always allowed a converted line): a link that would make the line pass it is not
// made. Address and URL tokens end at any byte below 0x21 (space, tab, CR, form feed, other
// controls), so nothing a sender writes can add an attribute to a link.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Room for one converted line, terminating NUL included, as the linking steps count it.
constexpr std::size_t kMailLineBound = 2000;

// Converts the addresses of the line, left to right, until LinkMailAddress says stop.
// Does nothing when the line has no "@".
void LinkMailAddresses(std::string& line, std::size_t bound);

// Converts the next address at or after `pos` into "<a href=mailto:A>A</a>". Returns the
// position just after the anchor, the position of an "&gt;" to go on from when the address is
// the text of an anchor already in the mail, or std::string::npos to stop converting the line
// (no "@" left, a token without ".", a token that begins with "@", or no room in `bound`).
std::size_t LinkMailAddress(std::string& line, std::size_t pos, std::size_t bound);

// Converts the URLs of one lower-case scheme ("http://", "ftp://"; the upper-case form is also
// linked once the lower-case one is somewhere in the line) into "<A HREF=U>U</A>". The line
// stays as it was when the converted line would not fit in `bound`.
void LinkUrls(std::string& line, std::size_t bound, std::string_view scheme);

// The whole conversion of one body line, in the page's order: "<" then ">" escaped, addresses,
// "http://" URLs, "ftp://" URLs.
void ConvertMailLine(std::string& line);
