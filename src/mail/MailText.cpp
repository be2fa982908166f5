// MailText.cpp - mail text to HTML, one line at a time: escaping, address anchors, URL links.
#include "mail/MailText.h"

#include "text/AsciiText.h"

namespace {

// Characters the walk back from an "@" keeps in the part before it.
bool IsAddressChar(unsigned char c) {
    return IsAsciiAlnum(c) || c == '#' || c == '$' || c == '.';
}

// Any byte below 0x21 ends a token as well as the listed ones: a tab, CR or form feed must not
// slip into an unquoted attribute, where a browser would take it as the start of another one.
bool EndsAddressToken(unsigned char c) {
    return c < 0x21 || c == ',' || c == '(' || c == ')';
}
bool EndsUrl(unsigned char c) {
    return c < 0x21 || c == ',' || c == '>';
}

// True when `text` at `pos` begins with `prefix`, ignoring A-Z case.
bool StartsAtIgnoringCase(const std::string& text, std::size_t pos, std::string_view prefix) {
    return pos <= text.size() && StartsWithIgnoringCase(std::string_view(text).substr(pos), prefix);
}

constexpr std::string_view kEscapedGt = "&gt;";

}  // namespace

std::size_t LinkMailAddress(std::string& line, std::size_t pos, std::size_t bound) {
    if (pos >= line.size()) return std::string::npos;
    const std::size_t at = line.find('@', pos);
    if (at == std::string::npos) return std::string::npos;

    // Walk back over the part before the "@". Reaching the scan position takes whatever stands
    // there; the delimiter skip below drops it when it is one.
    std::size_t begin = at;
    if (at > pos) {
        std::size_t i = at - 1;
        for (;;) {
            if (i == pos) {
                begin = pos;
                break;
            }
            if (!IsAddressChar(static_cast<unsigned char>(line[i]))) {
                begin = i + 1;
                break;
            }
            --i;
        }
    }
    while (begin < at && EndsAddressToken(static_cast<unsigned char>(line[begin])))
        ++begin;
    std::size_t end = begin;
    while (end < line.size() && !EndsAddressToken(static_cast<unsigned char>(line[end])))
        ++end;

    if (end - begin > 4) {
        const std::size_t gt = line.find(kEscapedGt, begin);
        if (gt != std::string::npos && gt + kEscapedGt.size() <= end) {
            // An address that is the text of an anchor in the mail ("...>ann@host</a>") or
            // that directly precedes a closing tag is left alone; the scan goes on from there.
            const bool closesAnchor = gt >= begin + 2 && StartsAtIgnoringCase(line, gt - 2, "/a");
            const bool beforeEndTag = StartsAtIgnoringCase(line, gt + kEscapedGt.size(), "&lt;/");
            if (closesAnchor || beforeEndTag) return gt > pos ? gt : pos + 1;
            end = gt;
        }
    }

    const std::string_view token(line.data() + begin, end - begin);
    if (token.empty() || token.front() == '@' || token.find('.') == std::string_view::npos) {
        return std::string::npos;
    }

    std::string anchor;
    anchor.reserve(token.size() * 2 + 24);
    anchor.append("<a href=mailto:").append(token).append(">").append(token).append("</a>");
    if (line.size() - token.size() + anchor.size() + 1 > bound) return std::string::npos;

    line.replace(begin, end - begin, anchor);
    return begin + anchor.size();
}

void LinkMailAddresses(std::string& line, std::size_t bound) {
    if (line.find('@') == std::string::npos) return;
    std::size_t pos = 0;
    while ((pos = LinkMailAddress(line, pos, bound)) != std::string::npos) {
    }
}

void LinkUrls(std::string& line, std::size_t bound, std::string_view scheme) {
    if (scheme.empty() || line.find(scheme) == std::string::npos) return;
    std::string upper(scheme);
    for (char& c : upper)
        c = AsciiUpper(c);

    std::string result;
    result.reserve(line.size() * 2);
    std::size_t rest = 0;
    for (;;) {
        // The lower-case form anywhere in the rest wins over an upper-case one before it.
        std::size_t match = line.find(scheme, rest);
        if (match == std::string::npos) match = line.find(upper, rest);
        if (match == std::string::npos) break;
        // Mail text is escaped by now, so a raw "<" opens an anchor written by an earlier
        // step. It is kept whole: a scheme inside it ("http://h/?ftp://x", an address after
        // "ftp://") must not put a second anchor into its tag or its text.
        const std::size_t tag = line.find('<', rest);
        if (tag < match) {
            const std::size_t close = line.find("</", tag);
            std::size_t after = close == std::string::npos ? close : line.find('>', close);
            after = after == std::string::npos ? line.size() : after + 1;
            result.append(line, rest, after - rest);
            rest = after;
            continue;
        }
        std::size_t end = match;
        while (end < line.size() && !EndsUrl(static_cast<unsigned char>(line[end])) &&
               line[end] != '<') {
            ++end;
        }
        while (end - match > 1 && line[end - 1] == '.')
            --end;  // the end of a sentence
        const std::string_view url(line.data() + match, end - match);
        result.append(line, rest, match - rest);
        result.append("<A HREF=").append(url).append(">").append(url).append("</A>");
        rest = end;
    }
    result.append(line, rest, std::string::npos);
    if (result.size() + 1 <= bound) line = std::move(result);
}

void ConvertMailLine(std::string& line) {
    line = EscapeAngleBrackets(line);
    LinkMailAddresses(line, kMailLineBound);
    LinkUrls(line, kMailLineBound, "http://");
    LinkUrls(line, kMailLineBound, "ftp://");
}
