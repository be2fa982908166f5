// X3dText.cpp - escaping and number formatting for X3D worlds.
#include "publish/X3dText.h"
#include "text/AsciiText.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence starting at `i`, or 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    // U+FFFE and U+FFFF are not XML characters either.
    if (length == 3 && lead == 0xEF && byte(i + 1) == 0xBF && byte(i + 2) >= 0xBE) return 0;
    return length;
}

}  // namespace

std::string XmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            std::size_t length = Utf8Length(text, i);
            if (length == 0) {
                out += kReplacement;
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        ++i;
        // Controls other than tab become U+FFFD: a world file must stay well-formed XML.
        if (const std::string_view entity = MarkupEntity(static_cast<char>(c), true);
            !entity.empty()) {
            out += entity;
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out += kReplacement;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string X3dQuoted(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return "\"" + XmlText(quoted) + "\"";
}

std::string XmlCommentText(std::string_view text) {
    std::string comment = XmlText(text);
    for (std::size_t at = comment.find("--"); at != std::string::npos; at = comment.find("--")) {
        comment.insert(at + 1, " ");
    }
    if (!comment.empty() && comment.back() == '-') comment += ' ';
    return comment;
}

std::string X3dNumber(double value) {
    if (!std::isfinite(value)) return "0";
    char text[64];
    int length = std::snprintf(text, sizeof text, "%.6f", value);
    std::string number(text, length > 0 ? static_cast<std::size_t>(length) : 0);
    while (!number.empty() && number.back() == '0')
        number.pop_back();
    if (!number.empty() && number.back() == '.') number.pop_back();
    if (number == "-0" || number.empty()) number = "0";
    return number;
}
