// AsciiText.cpp - the out-of-line ASCII text helpers.
#include "text/AsciiText.h"

#include <algorithm>

std::string ToAsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = AsciiLower(c);
    return lower;
}

bool ContainsIgnoringCase(std::string_view text, std::string_view word) {
    if (word.size() > text.size()) return false;
    return std::search(text.begin(), text.end(), word.begin(), word.end(),
                       [](char a, char b) { return AsciiLower(a) == AsciiLower(b); }) != text.end();
}

std::optional<std::string_view> NextToken(std::string_view text, std::size_t& at,
                                          std::string_view separators) {
    const std::size_t start = text.find_first_not_of(separators, std::min(at, text.size()));
    if (start == std::string_view::npos) {
        at = text.size();
        return std::nullopt;
    }
    const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
    at = end;
    return text.substr(start, end - start);
}

namespace {

std::string EscapeEach(std::string_view text, std::string_view (*entity)(char)) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const std::string_view replacement = entity(c);
        if (replacement.empty()) {
            out += c;
        } else {
            out += replacement;
        }
    }
    return out;
}

}  // namespace

std::string EscapeLessThan(std::string_view text) {
    return EscapeEach(text, [](char c) { return c == '<' ? std::string_view("&lt;") : ""; });
}

std::string EscapeAngleBrackets(std::string_view text) {
    return EscapeEach(text,
                      [](char c) { return c == '<' || c == '>' ? MarkupEntity(c, false) : ""; });
}

std::string EscapeMarkup(std::string_view text) {
    return EscapeEach(text, [](char c) { return MarkupEntity(c, false); });
}
