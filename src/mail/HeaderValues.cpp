// HeaderValues.cpp - extractors of header values and the date key.
#include "mail/HeaderValues.h"

#include <cstddef>

namespace {

constexpr std::size_t kValueCut = 80;
constexpr std::size_t kSubjectCut = 100;
constexpr std::size_t kLongReferenceCut = 240;

bool IsWhite(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Address tokens end at any control byte as well as the space, so no link built from one
// can carry markup or an attribute.
bool IsBelowPrintable(char c) {
    return static_cast<unsigned char>(c) < 0x21;
}

// Whether `c` is one of the few bytes of `set`. The library's set searches look every byte
// up with a call of their own, which shows on a whole spool.
bool InSet(char c, std::string_view set) {
    for (char s : set) {
        if (c == s) return true;
    }
    return false;
}

std::size_t FindAny(std::string_view text, std::string_view set, std::size_t from = 0) {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (InSet(text[i], set)) return i;
    }
    return std::string_view::npos;
}

std::string_view Cut(std::string_view text, std::size_t limit) {
    return text.substr(0, limit);
}

// Copies `text` without backslashes, up to the first byte in `stops`, at most `limit` bytes.
std::string CopyWithoutBackslashes(std::string_view text, std::string_view stops,
                                   std::size_t limit) {
    std::string value;
    for (char c : text) {
        if (InSet(c, stops) || value.size() >= limit) break;
        if (c != '\\') value += c;
    }
    return value;
}

// A tokenizer that skips runs of delimiters: each call takes its own delimiter set, skips
// the delimiters in front, and consumes the one delimiter that ends the word.
class CWordReader {
  public:
    explicit CWordReader(std::string_view text) : m_text(text) {}
    std::string_view Next(std::string_view delimiters) {
        std::size_t start = m_pos;
        while (start < m_text.size() && InSet(m_text[start], delimiters))
            ++start;
        if (start == m_text.size()) {
            m_pos = start;
            return {};
        }
        std::size_t end = FindAny(m_text, delimiters, start);
        if (end == std::string_view::npos) end = m_text.size();
        m_pos = end < m_text.size() ? end + 1 : end;
        return m_text.substr(start, end - start);
    }

  private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

// The value that starts two bytes after the first colon, leading white space skipped; empty
// (and `found` false) when the line ends at the colon or one byte after it.
std::string_view ValueAfterColon(std::string_view line, bool& found) {
    std::size_t colon = line.find(':');
    found = colon != std::string_view::npos && line.size() > colon + 2;
    if (!found) return {};
    std::string_view value = line.substr(colon + 2);
    while (!value.empty() && IsWhite(value.front()))
        value.remove_prefix(1);
    return value;
}

std::string AbbreviationNumber(std::string_view word, const char* const names[], int count) {
    if (word.size() < 3) return {};
    char upper[3];
    for (int i = 0; i < 3; ++i) {
        char c = word[static_cast<std::size_t>(i)];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    for (int n = 0; n < count; ++n) {
        if (std::string_view(upper, 3) == names[n]) {
            return {static_cast<char>('0' + (n + 1) / 10), static_cast<char>('0' + (n + 1) % 10)};
        }
    }
    return {};
}

}  // namespace

std::string EnvelopeDate(std::string_view line) {
    CWordReader words(line);
    words.Next(" ");    // "From"
    words.Next(" <>");  // the sender
    std::string_view w[5];
    for (auto& word : w)
        word = words.Next(" \n");
    std::string date;
    date.reserve(line.size() + 4);
    for (std::string_view part : {w[0], w[1], w[2], w[4]}) {
        date.append(part);
        date += ' ';
    }
    date.append(w[3]);
    if (date.size() > kValueCut) date.resize(kValueCut);
    return date;
}

std::string HeaderDate(std::string_view line) {
    bool found = false;
    std::string_view value = ValueAfterColon(line, found);
    if (!found) return "(no date)";
    return std::string(Cut(value, kValueCut));
}

std::pair<std::string, std::string> ParseSender(std::string_view line) {
    constexpr auto npos = std::string_view::npos;
    std::size_t colon = line.find(':');
    std::size_t afterColon = colon == npos ? 0 : colon + 1;

    std::string address;
    std::size_t at = line.find('@');
    if (at != npos) {
        std::size_t floor = afterColon <= at ? afterColon : 0;
        std::size_t start = at;
        while (start > floor) {
            char c = line[start - 1];
            if (c == '<' || IsBelowPrintable(c)) break;
            --start;
        }
        for (std::size_t i = start; i < line.size() && address.size() < kValueCut; ++i) {
            char c = line[i];
            if (c == '>' || c == '[' || IsBelowPrintable(c)) break;
            address += c;
        }
    } else if (line.find('(') != npos) {
        std::size_t i = afterColon;
        while (i < line.size() && IsWhite(line[i]))
            ++i;
        for (; i < line.size() && address.size() < kValueCut; ++i) {
            char c = line[i];
            if (c == '(' || IsBelowPrintable(c)) break;
            address += c;
        }
    } else {
        address = "(no email)";
    }

    std::size_t start;
    if (line.find('<') != npos) {
        start = afterColon;
        while (start < line.size() && (IsWhite(line[start]) || line[start] == '"'))
            ++start;
    } else if (std::size_t paren = line.find('('); paren != npos) {
        start = paren + 1;
    } else {
        std::string name = address == "(no email)" ? std::string("(no name)") : address;
        return {std::move(name), std::move(address)};
    }
    std::string name;
    std::size_t i = start;
    for (; i < line.size() && name.size() < kValueCut; ++i) {
        char c = line[i];
        if (c == '<' || c == '"' || c == ')' || c == '(' || c == '\n' || c == '\t') break;
        name += c;
    }
    // The byte before "<" or "(" is normally the space that separates it from the name.
    if (i < line.size() && (line[i] == '<' || line[i] == '(') && !name.empty()) name.pop_back();
    return {std::move(name), std::move(address)};
}

std::string MessageIdValue(std::string_view line) {
    std::size_t open = line.find('<');
    if (open == std::string_view::npos) return {};
    return CopyWithoutBackslashes(line.substr(open + 1), std::string_view(">\n", 2), kValueCut);
}

std::string SubjectValue(std::string_view line) {
    bool found = false;
    std::string_view value = Cut(ValueAfterColon(line, found), kSubjectCut);
    while (!value.empty() && IsWhite(value.back()))
        value.remove_suffix(1);
    return std::string(value);
}

std::string ReplyReference(std::string_view line) {
    constexpr auto npos = std::string_view::npos;
    if (std::size_t dated = line.find("dated: "); dated != npos) {
        std::string_view value = line.substr(dated + 7);
        return std::string(Cut(value.substr(0, value.find('.')), kLongReferenceCut));
    }
    if (std::size_t open = line.find('<'); open != npos) {
        return CopyWithoutBackslashes(line.substr(open + 1), ">", kValueCut);
    }
    if (std::size_t sage = line.find("sage of "); sage != npos) {
        std::string_view value = line.substr(sage + 8);
        if (!value.empty() && value.front() == '"') value.remove_prefix(1);
        std::size_t end = FindAny(value, ".f");
        bool atF = end != npos && value[end] == 'f';
        std::string reference(Cut(value.substr(0, end), kLongReferenceCut));
        // Stopped at "from": the space before it goes too.
        if (atF && reference.size() == end && !reference.empty()) reference.pop_back();
        return reference;
    }
    return {};
}

std::string MonthNumber(std::string_view word) {
    static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    return AbbreviationNumber(word, kMonths, 12);
}

std::string WeekdayNumber(std::string_view word) {
    static const char* const kDays[] = {"MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"};
    return AbbreviationNumber(word, kDays, 7);
}

namespace {

// The words of a date the keys are built from, as the date key has always read them.
struct CDateWords {
    std::string m_month;  // "01".."12", or empty
    std::string m_day;    // a single digit already padded
    std::string_view m_year;
    std::string m_time;  // "hh:mm", or what there was of it
};

CDateWords SplitDate(std::string_view date) {
    CWordReader words(date);
    constexpr std::string_view kSeparators = " ,-";
    CDateWords parts;
    std::string_view word = words.Next(kSeparators);
    if (!WeekdayNumber(word).empty()) word = words.Next(kSeparators);
    parts.m_month = MonthNumber(word);
    if (!parts.m_month.empty()) {
        parts.m_day = words.Next(kSeparators);
    } else {
        parts.m_day = word;
        parts.m_month = MonthNumber(words.Next(kSeparators));
    }
    if (parts.m_day.size() == 1) parts.m_day.insert(0, 1, '0');
    parts.m_year = words.Next(kSeparators);
    parts.m_time = words.Next(kSeparators);
    std::string& time = parts.m_time;
    if (!time.empty() && (time.size() < 3 || time[2] != ':')) time.insert(0, 1, '0');
    if (time.size() > 5) time.resize(5);
    return parts;
}

// Exactly `width` digits: the leading digits of `text`, zero-padded in front, or the last
// `width` of them when there are more.
std::string Digits(std::string_view text, std::size_t width) {
    std::size_t n = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9')
        ++n;
    std::string digits(text.substr(0, n));
    if (digits.size() > width) return digits.substr(digits.size() - width);
    return std::string(width - digits.size(), '0') + digits;
}

// Two-digit years as RFC 5322 reads them (00-49: 2000s, 50-99: 1900s), three-digit ones
// counted from 1900.
std::string FullYear(std::string_view year) {
    std::size_t n = 0;
    while (n < year.size() && year[n] >= '0' && year[n] <= '9')
        ++n;
    if (n == 0) return "0000";
    if (n >= 4) return Digits(year, 4);
    int value = std::stoi(std::string(year.substr(0, n)));
    if (n == 3)
        value += 1900;
    else if (value < 50)
        value += 2000;
    else
        value += 1900;
    return std::to_string(value);
}

}  // namespace

std::string BuildDateKey(std::string_view date) {
    if (date == "(no date)") return "(no date)";
    CDateWords parts = SplitDate(date);
    std::string_view year = parts.m_year;
    if (year.size() > 2) year = year.substr(year.size() - 2);
    std::string key;
    key.reserve(14);
    key.append(parts.m_month).append("/").append(parts.m_day).append("/").append(year);
    key.append(" ").append(parts.m_time);
    return key;
}

std::string BuildDateOrder(std::string_view date) {
    if (date == "(no date)") return "(no date)";
    CDateWords parts = SplitDate(date);
    std::string order = FullYear(parts.m_year);
    order.append(parts.m_month.empty() ? "00" : parts.m_month).append(Digits(parts.m_day, 2));
    order.append(parts.m_time);
    return order;
}
