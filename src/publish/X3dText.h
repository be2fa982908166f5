// X3dText.h - text and numbers written into an X3D world in its XML encoding.
//
// Names and labels come from the disk and from vantrel.cfg: any byte may be in them. XML
// refuses control characters and malformed UTF-8 even when escaped, so those are replaced
// before the markup characters are escaped; a bad name must not make the whole world unreadable.
#pragma once

#include <string>
#include <string_view>

// Text fit for a single-quoted XML attribute or element content: control characters (other
// than tab) and bytes that are not well-formed UTF-8 become U+FFFD, then & < > ' " become
// entity references (so "]]>" cannot appear either).
std::string XmlText(std::string_view text);

// One element of an MFString attribute (which the writers single-quote): the text with '"'
// and '\' preceded by a backslash, escaped as XmlText, between plain double quotes.
std::string X3dQuoted(std::string_view text);

// The text of an XML comment: XmlText's replacements, then every "--" broken apart and a
// trailing "-" padded, which a comment may not hold.
std::string XmlCommentText(std::string_view text);

// A number in the shortest fixed notation with at most six decimals: "2", "-0.5", "1.570796";
// a value that rounds to zero is "0", never "-0".
std::string X3dNumber(double value);
