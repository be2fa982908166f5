// Utf8.cpp - UTF-8 checks (RFC 3629: no overlong forms, no surrogates, at most U+10FFFF).
#include "server/Utf8.h"

int Utf8SequenceLength(std::string_view text) {
    if (text.empty()) return -1;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(0);
    if (first < 0x80) return 1;
    int length;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        if (first == 0xE0) low = 0xA0;   // overlong below U+0800
        if (first == 0xED) high = 0x9F;  // surrogates U+D800-U+DFFF
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        if (first == 0xF0) low = 0x90;   // overlong below U+10000
        if (first == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;  // a continuation byte, C0/C1 (always overlong), or F5-FF
    }
    for (int i = 1; i < length; ++i) {
        if (static_cast<std::size_t>(i) >= text.size()) return -1;
        const unsigned char c = byte(static_cast<std::size_t>(i));
        const unsigned char min = i == 1 ? low : 0x80;
        const unsigned char max = i == 1 ? high : 0xBF;
        if (c < min || c > max) return 0;
    }
    return length;
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const int length = Utf8SequenceLength(text.substr(i));
        if (length <= 0) return false;
        i += static_cast<std::size_t>(length);
    }
    return true;
}

std::string Utf8OrLatin1(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const int length = Utf8SequenceLength(text.substr(i));
        if (length > 0) {
            result.append(text.substr(i, static_cast<std::size_t>(length)));
            i += static_cast<std::size_t>(length);
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[i++]);
        result += static_cast<char>(0xC0 | (c >> 6));
        result += static_cast<char>(0x80 | (c & 0x3F));
    }
    return result;
}

std::string_view CutAtCharacter(std::string_view text, std::size_t limit) {
    std::size_t end = 0;
    while (end < text.size()) {
        const int length = Utf8SequenceLength(text.substr(end));
        const std::size_t step = length > 0 ? static_cast<std::size_t>(length) : 1;
        if (end + step > limit) break;
        end += step;
    }
    return text.substr(0, end);
}
