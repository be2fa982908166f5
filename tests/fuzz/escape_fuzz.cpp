// Fuzzes URL escaping and unescaping: escaped text holds only URL-safe bytes and decodes back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "server/HTEscape.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string escaped = HTEscape(text);
    for (unsigned char c : escaped) {
        if (c < 0x21 || c >= 0x7F || c == '"' || c == '<' || c == '>') __builtin_trap();
    }
    std::string decoded = escaped;
    UrlUnescape(decoded);
    if (decoded != text) __builtin_trap();  // every byte survives the round trip

    std::string raw = text;
    UrlUnescape(raw);
    if (raw.size() > text.size()) __builtin_trap();
    return 0;
}
