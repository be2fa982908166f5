// LogText.cpp - escaping of control bytes in logged outside text.
#include "server/LogText.h"

#include <algorithm>

namespace {

bool NeedsEscape(char c) {
    auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t' && c != '\n') || byte == 0x7F;
}

// Calls clean(run) for each run without such bytes and escape(byte) for each one between.
template <typename Clean, typename Escape>
void ForEachPart(std::string_view text, Clean clean, Escape escape) {
    const char* run = text.data();
    const char* end = text.data() + text.size();
    for (;;) {
        const char* hit = std::find_if(run, end, NeedsEscape);
        if (hit != run) clean(std::string_view(run, static_cast<std::size_t>(hit - run)));
        if (hit == end) return;
        escape(static_cast<unsigned char>(*hit));
        run = hit + 1;
    }
}

void AppendEscape(std::string& to, unsigned char byte) {
    constexpr char kHex[] = "0123456789ABCDEF";
    to += "\\x";
    to += kHex[byte >> 4];
    to += kHex[byte & 0xF];
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    ForEachPart(
        text, [&](std::string_view run) { escaped += run; },
        [&](unsigned char byte) { AppendEscape(escaped, byte); });
    return escaped;
}

void WriteLogText(std::FILE* out, std::string_view text) {
    ForEachPart(
        text, [&](std::string_view run) { std::fwrite(run.data(), 1, run.size(), out); },
        [&](unsigned char byte) {
            std::string escape;
            AppendEscape(escape, byte);
            std::fwrite(escape.data(), 1, escape.size(), out);
        });
}
