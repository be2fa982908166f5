// ByteRange.cpp - single byte ranges. A multipart reply to several ranges is left out: the
// whole file is a valid answer to any Range, and no client we serve depends on multipart.
#include "server/ByteRange.h"

#include <algorithm>
#include <optional>

#include "server/HttpDate.h"
#include "server/RequestHeaders.h"
#include "server/ServerState.h"
#include "server/SocketStream.h"
#include "text/AsciiText.h"

namespace {

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Decimal digits only; nullopt when empty, not all digits or too large to be an offset.
std::optional<std::int64_t> Offset(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

CByteRange ParseByteRange(std::string_view value, std::int64_t size) {
    using EKind = CByteRange::EKind;
    value = TrimBlanks(value);
    std::size_t equals = value.find('=');
    if (equals == std::string_view::npos) return {};
    std::string_view unit = TrimBlanks(value.substr(0, equals));
    if (!EqualsIgnoringCase(unit, "bytes")) return {};
    std::string_view asked = TrimBlanks(value.substr(equals + 1));
    if (asked.find(',') != std::string_view::npos) return {};
    std::size_t dash = asked.find('-');
    if (dash == std::string_view::npos) return {};
    std::string_view firstText = TrimBlanks(asked.substr(0, dash));
    std::string_view lastText = TrimBlanks(asked.substr(dash + 1));

    if (firstText.empty()) {
        // "-N": the last N bytes.
        auto suffix = Offset(lastText);
        if (!suffix) return {};
        if (*suffix == 0 || size == 0) return {EKind::Unsatisfiable};
        return {EKind::Partial, size - std::min(*suffix, size), size - 1};
    }
    auto first = Offset(firstText);
    if (!first) return {};
    std::int64_t last = size - 1;
    if (!lastText.empty()) {
        auto parsed = Offset(lastText);
        if (!parsed || *parsed < *first) return {};
        last = std::min(*parsed, size - 1);
    }
    if (*first >= size) return {EKind::Unsatisfiable};
    return {EKind::Partial, *first, last};
}

CByteRange RequestedRange(const CSocketStream& out, std::int64_t size, std::time_t modified) {
    auto range = FindRequestHeader(out.m_requestLines, "Range");
    if (!range) return {};
    if (auto ifRange = FindRequestHeader(out.m_requestLines, "If-Range")) {
        std::optional<std::time_t> date = ParseHttpDate(*ifRange, std::time(nullptr));
        if (!date || *date != modified) return {};
    }
    return ParseByteRange(*range, size);
}

bool HasRangeHeader(const CSocketStream& out) {
    return FindRequestHeader(out.m_requestLines, "Range").has_value();
}
