// HttpDate.cpp - the three HTTP date forms, read strictly: a date we misread would answer
// "not modified" for a file that was.
#include "server/HttpDate.h"

#include <array>

namespace {

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

class CDateReader {
  public:
    explicit CDateReader(std::string_view text) : m_text(text) {}

    bool AtEnd() const { return m_at == m_text.size(); }
    bool Literal(std::string_view word) {
        if (m_text.substr(m_at, word.size()) != word) return false;
        m_at += word.size();
        return true;
    }
    void SkipSpaces() {
        while (m_at < m_text.size() && m_text[m_at] == ' ')
            ++m_at;
    }
    // Letters up to the next non-letter.
    std::string_view Word() {
        std::size_t start = m_at;
        while (m_at < m_text.size() && ((m_text[m_at] >= 'A' && m_text[m_at] <= 'Z') ||
                                        (m_text[m_at] >= 'a' && m_text[m_at] <= 'z'))) {
            ++m_at;
        }
        return m_text.substr(start, m_at - start);
    }
    // Exactly `minDigits` to `maxDigits` decimal digits.
    std::optional<int> Number(int minDigits, int maxDigits) {
        int value = 0, digits = 0;
        while (m_at < m_text.size() && digits < maxDigits && m_text[m_at] >= '0' &&
               m_text[m_at] <= '9') {
            value = value * 10 + (m_text[m_at++] - '0');
            ++digits;
        }
        if (digits < minDigits) return std::nullopt;
        return value;
    }
    std::optional<int> Month() {
        std::string_view word = Word();
        for (std::size_t i = 0; i < kMonths.size(); ++i) {
            if (word == kMonths[i]) return static_cast<int>(i);
        }
        return std::nullopt;
    }
    // "HH:MM:SS"
    bool Time(int& hour, int& minute, int& second) {
        auto h = Number(2, 2);
        if (!h || !Literal(":")) return false;
        auto m = Number(2, 2);
        if (!m || !Literal(":")) return false;
        auto s = Number(2, 2);
        if (!s) return false;
        hour = *h, minute = *m, second = *s;
        return true;
    }

  private:
    std::string_view m_text;
    std::size_t m_at = 0;
};

bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Seconds since 1970 of a UTC calendar time (days from the civil calendar, no time zone).
std::optional<std::time_t> ToTime(int year, int month, int day, int hour, int minute, int second) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int monthDays = kDays[month] + (month == 1 && IsLeap(year) ? 1 : 0);
    // 60 seconds: a leap second, which HTTP dates allow.
    if (year < 1970 || day < 1 || day > monthDays || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    long long days = 0;
    for (int y = 1970; y < year; ++y)
        days += IsLeap(y) ? 366 : 365;
    for (int m = 0; m < month; ++m)
        days += kDays[m] + (m == 1 && IsLeap(year) ? 1 : 0);
    days += day - 1;
    return static_cast<std::time_t>(((days * 24 + hour) * 60 + minute) * 60 + second);
}

int CurrentYear(std::time_t now) {
    std::tm utc{};
    if (!gmtime_r(&now, &utc)) return 1970;
    return utc.tm_year + 1900;
}

}  // namespace

std::optional<std::time_t> ParseHttpDate(std::string_view text, std::time_t now) {
    // Old browsers append "; length=N" to If-Modified-Since.
    text = text.substr(0, text.find(';'));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    CDateReader in(text);
    int hour = 0, minute = 0, second = 0;
    std::string_view dayName = in.Word();
    if (dayName.size() < 3) return std::nullopt;

    if (in.Literal(",")) {
        in.SkipSpaces();
        auto day = in.Number(1, 2);
        if (!day) return std::nullopt;
        if (in.Literal("-")) {
            // Sunday, 06-Nov-94 08:49:37 GMT
            auto month = in.Month();
            if (!month || !in.Literal("-")) return std::nullopt;
            auto year = in.Number(2, 2);
            if (!year || !in.Literal(" ") || !in.Time(hour, minute, second) ||
                !in.Literal(" GMT") || !in.AtEnd()) {
                return std::nullopt;
            }
            int thisYear = CurrentYear(now);
            int fullYear = thisYear / 100 * 100 + *year;
            if (fullYear > thisYear + 50) fullYear -= 100;
            return ToTime(fullYear, *month, *day, hour, minute, second);
        }
        // Sun, 06 Nov 1994 08:49:37 GMT
        if (!in.Literal(" ")) return std::nullopt;
        auto month = in.Month();
        if (!month || !in.Literal(" ")) return std::nullopt;
        auto year = in.Number(4, 4);
        if (!year || !in.Literal(" ") || !in.Time(hour, minute, second) || !in.Literal(" GMT") ||
            !in.AtEnd()) {
            return std::nullopt;
        }
        return ToTime(*year, *month, *day, hour, minute, second);
    }
    // Sun Nov  6 08:49:37 1994
    if (!in.Literal(" ")) return std::nullopt;
    auto month = in.Month();
    if (!month) return std::nullopt;
    in.SkipSpaces();
    auto day = in.Number(1, 2);
    if (!day || !in.Literal(" ") || !in.Time(hour, minute, second) || !in.Literal(" ")) {
        return std::nullopt;
    }
    auto year = in.Number(4, 4);
    if (!year || !in.AtEnd()) return std::nullopt;
    return ToTime(*year, *month, *day, hour, minute, second);
}
