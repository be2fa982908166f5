// MimeText.h - text for mailboxes with the `mime` keyword: header values decoded (RFC 2047
// encoded words, charsets) and any bytes turned into valid UTF-8. GMime does the decoding;
// bytes that declare no charset and are not UTF-8 are read as windows-1252.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

struct _GMimeParserOptions;

// GMime set up once per process, with the fallback charsets above.
_GMimeParserOptions* MimeParserOptions();

// `bytes` in `charset` (empty: undeclared) as valid UTF-8. Sets `unknownCharset` when a
// declared charset could not be converted from (the bytes are then read as undeclared).
std::string MimeToUtf8(std::string_view bytes, std::string_view charset = {},
                       bool* unknownCharset = nullptr);

// Cuts `text` to at most `limit` bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string& text, std::size_t limit);
// The byte length of the first `characters` characters of UTF-8 `text` (all of it if shorter).
std::size_t Utf8Prefix(std::string_view text, std::size_t characters);
std::size_t Utf8Length(std::string_view text);

// The subject of a whole (unfolded) "Subject:" line: encoded words decoded, blanks for
// controls, trimmed, at most 100 bytes.
std::string DecodeSubjectLine(std::string_view line);
// (name, address) of a whole (unfolded) "From:" line, decoded, each at most 80 bytes; the
// address stands for a missing name, "(no email)" / "(no name)" as for plain mail.
std::pair<std::string, std::string> DecodeSenderLine(std::string_view line);
// Any other header value as valid UTF-8, at most `limit` bytes.
std::string Utf8HeaderValue(std::string_view value, std::size_t limit);

struct CSpoolMessage;
// The shown values of a message read with folded headers kept.
struct CMimeHeaders {
    std::string m_date;
    std::string m_fromName;
    std::string m_fromAddress;
    std::string m_subject;
};
CMimeHeaders DecodeMimeHeaders(const CSpoolMessage& message);
