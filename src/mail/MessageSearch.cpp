// MessageSearch.cpp - matching messages against the words of a search.
#include "mail/MessageSearch.h"

#include <algorithm>

#include "Server/HTEscape.h"
#include "mail/MessageNode.h"

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ContainsIgnoringCase(std::string_view text, std::string_view lowerWord) {
    if (lowerWord.size() > text.size()) return false;
    return std::search(text.begin(), text.end(), lowerWord.begin(), lowerWord.end(),
                       [](char a, char b) { return Lower(a) == b; }) != text.end();
}

}  // namespace

std::string DecodeQueryValue(std::string_view value, bool plusIsSpace) {
    std::string text(value);
    if (plusIsSpace) std::replace(text.begin(), text.end(), '+', ' ');
    UrlUnescape(text);
    return text;
}

CMessageSearch::CMessageSearch(std::string_view queryValue) {
    const std::string decoded = DecodeQueryValue(queryValue, true);
    constexpr std::string_view kBlanks = " \t\r\n";
    for (std::size_t start = decoded.find_first_not_of(kBlanks); start != std::string::npos;) {
        std::size_t end = decoded.find_first_of(kBlanks, start);
        if (end == std::string::npos) end = decoded.size();
        std::string word = decoded.substr(start, end - start);
        if (!m_text.empty()) m_text += ' ';
        m_text += word;
        std::transform(word.begin(), word.end(), word.begin(), Lower);
        m_words.push_back(std::move(word));
        start = decoded.find_first_not_of(kBlanks, end);
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
