// Fuzzes the MIME path of the message page: whatever shape a message has, the text shown and
// every part name are valid UTF-8, the parts listed stay within their bound, and the first
// listed part is served with exactly the size the page announced.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/MimeBody.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view message(reinterpret_cast<const char*>(data), size);
    const CMimeBody body = ReadMimeBody(message);
    auto valid = [](const std::string& text) {
        return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
    };
    if (!valid(body.m_text) || body.m_text.size() > kMimeMaxText) __builtin_trap();
    if (body.m_parts.size() > static_cast<std::size_t>(kMimeMaxParts)) __builtin_trap();
    for (const CMimePart& part : body.m_parts) {
        if (!valid(part.m_name) || !valid(part.m_type)) __builtin_trap();
    }
    if (!body.m_parts.empty()) {
        CMimePartBytes served;
        if (!ReadMimePart(message, body.m_parts.front().m_number, served) ||
            served.m_bytes.size() != body.m_parts.front().m_size) {
            __builtin_trap();
        }
    }
    return 0;
}
