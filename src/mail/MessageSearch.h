// MessageSearch.h - the words of a `find` query and the test of a message against them:
// every word must occur, ignoring the case of ASCII letters, in the sender's name, address
// or subject as the record holds them. Only the records in memory are searched.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CMessageNode;

// A query value as a browser sends it: %XX escapes decoded, and with `plusIsSpace` every
// "+" a blank first (form encoding). The request line was upper-cased, so the hex digits are.
std::string DecodeQueryValue(std::string_view value, bool plusIsSpace);

class CMessageSearch {
  public:
    // Words at blanks of the decoded value; no words match every message.
    explicit CMessageSearch(std::string_view queryValue);

    bool Matches(const CMessageNode& message) const;
    // The words joined by single blanks, as they were asked for.
    const std::string& Text() const { return m_text; }

  private:
    std::vector<std::string> m_words;  // lower case
    std::string m_text;
};
