// Fuzzes the keyword language: query strings and vantrel.cfg files.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "server/Options.h"
#include "server/ServerState.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    COptions query;
    query.ParseOptions(text);
    COptions file;
    std::istringstream in(text);
    file.ReadOptionsFile(in);
    // Process-wide values stay within their bounds whatever the input said.
    if (g_state.GetDelay() < 0 || g_state.GetDelay() > ServerState::kMaxDelayMs) __builtin_trap();
    if (g_state.TypeCount() > ServerState::kTypeTableSize) __builtin_trap();
    for (char c : g_state.GetHostName()) {
        if (c == '"' || c == '<' || c == '>' || static_cast<unsigned char>(c) <= ' ')
            __builtin_trap();
    }
    return 0;
}
