// MessageSearch.cpp - matching messages against the words of a search.
#include "mail/MessageSearch.h"

#include <algorithm>

#include "server/HTEscape.h"
#include "mail/MessageNode.h"
#include "text/AsciiText.h"

namespace {}  // namespace

std::string DecodeQueryValue(std::string_view value, bool plusIsSpace) {
    std::string text(value);
    if (plusIsSpace) std::replace(text.begin(), text.end(), '+', ' ');
    UrlUnescape(text);
    return text;
}

CMessageSearch::CMessageSearch(std::string_view queryValue) {
    const std::string decoded = DecodeQueryValue(queryValue, true);
    constexpr std::string_view kBlanks = " \t\r\n";
    std::size_t at = 0;
    while (auto word = NextToken(decoded, at, kBlanks)) {
        if (!m_text.empty()) m_text += ' ';
        m_text += *word;
        m_words.push_back(ToAsciiLower(*word));
    }
}

bool CMessageSearch::Matches(const CMessageNode& message) const {
    for (const std::string& word : m_words) {
        if (!ContainsIgnoringCase(message.m_fromName, word) &&
            !ContainsIgnoringCase(message.m_fromAddress, word) &&
            !ContainsIgnoringCase(message.m_subject, word)) {
            return false;
        }
    }
    return true;
}
