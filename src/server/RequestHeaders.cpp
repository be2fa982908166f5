// RequestHeaders.cpp - header lookup over the stored head lines. Heads are short (a few lines),
// so a linear search per lookup costs less than building an index for every request.
#include "server/RequestHeaders.h"

#include "text/AsciiText.h"

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<std::string_view> FindRequestHeader(const std::vector<std::string>* lines,
                                                  std::string_view name) {
    if (!lines) return std::nullopt;
    for (std::size_t i = 1; i < lines->size(); ++i) {
        std::string_view line = (*lines)[i];
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (EqualsIgnoringCase(line.substr(0, colon), name)) return Trim(line.substr(colon + 1));
    }
    return std::nullopt;
}

bool HeaderListAccepts(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        std::size_t semicolon = item.find(';');
        if (!EqualsIgnoringCase(Trim(item.substr(0, semicolon)), token)) continue;
        if (semicolon == std::string_view::npos) return true;
        std::string_view parameter = Trim(item.substr(semicolon + 1));
        if (parameter.size() < 2 || AsciiLower(parameter[0]) != 'q' || parameter[1] != '=') {
            return true;
        }
        // q=0, q=0.0, q=0.000 refuse; any other digit accepts.
        for (char c : parameter.substr(2)) {
            if (c >= '1' && c <= '9') return true;
        }
        return false;
    }
    return false;
}
