// Utf8.h - checking bytes for UTF-8, and turning bytes that are not into text that is.
//
// Names on disk and values in mail are bytes; the machine-readable replies (JSON, XML) must
// be valid UTF-8. A byte that does not belong to a valid sequence is read as the Latin-1
// character of the same value (U+0000-U+00FF), the one reading that loses no byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// At the start of `text`: the length (1-4) of a valid UTF-8 sequence; 0 when the first byte
// does not start one (stray continuation, overlong form, surrogate, past U+10FFFF); -1 when
// `text` ends inside what may still become a valid sequence.
int Utf8SequenceLength(std::string_view text);

bool IsValidUtf8(std::string_view text);

// Valid sequences kept as they are; every other byte as the UTF-8 form of U+00XX.
std::string Utf8OrLatin1(std::string_view text);

// The longest prefix of `text` of at most `limit` bytes that does not end inside a UTF-8
// sequence (bytes that are not UTF-8 count one each).
std::string_view CutAtCharacter(std::string_view text, std::size_t limit);
