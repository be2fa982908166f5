// MimeBody.h - what a reader sees of one message of a `mime` mailbox: the text to show (the
// first text/plain part, else the first text/html part read as text) as UTF-8, the other
// parts numbered in a fixed walk order, and notes on what was skipped. GMime parses; nothing
// here is kept between requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct CMimePart {
    int m_number = 0;  // 1, 2, ... in depth-first order over every leaf part
    std::string m_name;
    std::string m_type;      // "type/subtype"
    std::size_t m_size = 0;  // decoded bytes
};

struct CMimeBody {
    std::string m_text;  // UTF-8, lines ending in "\n"
    std::vector<CMimePart> m_parts;
    std::vector<std::string> m_skipped;  // what could not be shown, in plain words
};

// Bounds against hostile mail.
constexpr int kMimeMaxDepth = 20;
constexpr int kMimeMaxParts = 1000;
constexpr std::size_t kMimeMaxText = 2u << 20;  // bytes of text shown

// `message`: the message's bytes, header block first (no envelope line).
CMimeBody ReadMimeBody(std::string_view message);

struct CMimePartBytes {
    std::string m_type;
    std::string m_name;
    std::string m_bytes;
};
// Part `number` as ReadMimeBody numbers it; false when there is none.
bool ReadMimePart(std::string_view message, int number, CMimePartBytes& part);

// Visible text of an HTML document (UTF-8 in and out): tags dropped, entities decoded,
// scripts and styles left out, block elements on lines of their own.
std::string HtmlToText(std::string_view html);
