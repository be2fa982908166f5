// HTEscape.cpp - URL escaping of node paths and unescaping of request paths.
#include "server/HTEscape.h"

#include <array>

namespace {

constexpr std::array<bool, 128> MakePathSafe() {
    std::array<bool, 128> safe{};
    for (int c = 'A'; c <= 'Z'; ++c)
        safe[c] = true;
    for (int c = 'a'; c <= 'z'; ++c)
        safe[c] = true;
    for (int c = '0'; c <= '9'; ++c)
        safe[c] = true;
    for (char c : std::string_view("*+-./@_"))
        safe[static_cast<unsigned char>(c)] = true;
    return safe;
}
constexpr std::array<bool, 128> kPathSafe = MakePathSafe();

bool IsKept(unsigned char byte) {
    return byte < 128 && kPathSafe[byte];
}

int DigitValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return c - 87;
}

}  // namespace

std::string HTEscape(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::size_t escaped = 0;
    for (unsigned char byte : text)
        escaped += IsKept(byte) ? 0 : 1;
    std::string result;
    result.reserve(text.size() + 2 * escaped);
    for (unsigned char byte : text) {
        if (IsKept(byte)) {
            result.push_back(static_cast<char>(byte));
        } else {
            result.push_back('%');
            result.push_back(kHex[byte >> 4]);
            result.push_back(kHex[byte & 15]);
        }
    }
    return result;
}

void UrlUnescape(std::string& text) {
    std::size_t write = 0;
    for (std::size_t read = 0; read < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[read++]);
        if (c == '%' && read < text.size()) {
            int value = DigitValue(static_cast<unsigned char>(text[read++])) * 16;
            if (read < text.size()) {
                value += DigitValue(static_cast<unsigned char>(text[read++]));
            }
            text[write++] = static_cast<char>(value & 0xFF);
        } else {
            text[write++] = static_cast<char>(c);
        }
    }
    text.resize(write);
}
