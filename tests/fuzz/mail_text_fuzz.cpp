// Fuzzes the conversion of mail text to HTML, line by line. Whatever the sender wrote, the
// only markup in a converted line is the converter's own anchors, each a single unquoted
// attribute that nothing can end early or extend; every other "<" and ">" is escaped. A line
// with nothing to link comes out exactly escaped.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSite.h"
#include "mail/MailText.h"
#include "text/AsciiText.h"

namespace {

constexpr std::string_view kOpenings[] = {"<a href=mailto:", "<A HREF="};
constexpr std::string_view kClosings[] = {"</a>", "</A>"};

// Length of the converter's tag at `at`, or 0 when the bytes there are anything else.
std::size_t TagLength(std::string_view html, std::size_t at) {
    const std::string_view rest = html.substr(at);
    for (std::string_view closing : kClosings) {
        if (rest.substr(0, closing.size()) == closing) return closing.size();
    }
    for (std::string_view opening : kOpenings) {
        if (rest.substr(0, opening.size()) != opening) continue;
        for (std::size_t i = opening.size(); i < rest.size(); ++i) {
            const auto c = static_cast<unsigned char>(rest[i]);
            if (c == '>') return i > opening.size() ? i + 1 : 0;
            // A space or control would end the value and start another attribute; a "<"
            // would mean a tag was opened inside this one.
            if (c < 0x21 || c == '<') return 0;
        }
        return 0;
    }
    return 0;
}

void CheckConverted(std::string_view html) {
    for (std::size_t i = 0; i < html.size();) {
        if (html[i] == '>') __builtin_trap();
        if (html[i] != '<') {
            ++i;
            continue;
        }
        const std::size_t length = TagLength(html, i);
        if (length == 0) __builtin_trap();
        i += length;
    }
}

std::string Escaped(std::string_view line) {
    std::string out;
    for (char c : line) {
        if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        std::string html(line);
        ConvertMailLine(html);
        CheckConverted(html);
        if (!Holds(line, "@") && !Holds(line, "http://") && !Holds(line, "ftp://") &&
            html != Escaped(line)) {
            __builtin_trap();
        }

        // The linking steps on their own, with bounds small enough to be reached.
        std::string linked = EscapeAngleBrackets(line);
        const std::size_t bound = line.size() + 1 + (line.empty() ? 0 : line[0] % 64);
        LinkMailAddresses(linked, bound);
        LinkUrls(linked, bound, "http://");
        LinkUrls(linked, bound, "ftp://");
        CheckConverted(linked);
    }
    return 0;
}
