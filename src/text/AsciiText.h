// AsciiText.h - ASCII case folding, tokens and markup escaping: the text helpers every module
// shares. Only A-Z fold; bytes of 128 and more are never touched, whatever the locale.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

constexpr char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

constexpr bool IsAsciiAlnum(char c) {
    return IsAsciiLetter(c) || (c >= '0' && c <= '9');
}

std::string ToAsciiLower(std::string_view text);

// Inline: the children index compares names on every insert and lookup, and a call per byte
// into another translation unit was a fifth of a large folder's scan. Bytes compare unsigned.
inline int CompareIgnoringCase(std::string_view a, std::string_view b) {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(AsciiLower(a[i]));
        const auto y = static_cast<unsigned char>(AsciiLower(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareIgnoringCase(a, b) == 0;
}

inline bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool ContainsIgnoringCase(std::string_view text, std::string_view word);

// The next run of bytes not in `separators` at or after `at`, moving `at` past it; none when
// only separators are left.
std::optional<std::string_view> NextToken(std::string_view text, std::size_t& at,
                                          std::string_view separators);

// Outside text placed between tags: every "<" becomes "&lt;" and nothing else changes, so
// stored names and mail headers keep their other bytes exactly as the pages always showed them.
std::string EscapeLessThan(std::string_view text);

// Mail text on a page: "<" and ">" both escaped, "&" left alone so entities the sender wrote
// keep showing as they did.
std::string EscapeAngleBrackets(std::string_view text);

// The entity a markup byte must be written as ("&", "<", ">", '"', and "'" when `apostrophe`),
// or empty for a byte that may stand as it is.
constexpr std::string_view MarkupEntity(char c, bool apostrophe) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return apostrophe ? "&apos;" : "";
        default:
            return "";
    }
}

// Text for HTML content or a quoted attribute: "&", "<", ">" and '"' escaped.
std::string EscapeMarkup(std::string_view text);
