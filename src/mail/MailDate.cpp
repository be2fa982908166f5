// MailDate.cpp - a tolerant reader of mail dates (RFC 5322 and its obsolete forms, ctime).
#include "mail/MailDate.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "mail/HeaderValues.h"
#include "text/AsciiText.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view word) {
    if (word.empty()) return false;
    for (char c : word) {
        if (!IsDigit(c)) return false;
    }
    return true;
}

bool AllLetters(std::string_view word) {
    if (word.empty()) return false;
    for (char c : word) {
        if (!IsAsciiLetter(c)) return false;
    }
    return true;
}

int Number(std::string_view digits) {
    int value = 0;
    for (char c : digits)
        value = value * 10 + (c - '0');
    return value;
}

// Words at blanks and commas, "(comments)" dropped; "09-Jan-1995" is three words, while a
// zone offset such as "-0800" keeps its sign.
std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    auto add = [&](std::string_view word) {
        if (word.empty()) return;
        if (word[0] == '+' || word[0] == '-') {
            words.push_back(word);
            return;
        }
        for (std::size_t start = 0; start <= word.size();) {
            std::size_t dash = word.find('-', start);
            if (dash == std::string_view::npos) dash = word.size();
            if (dash > start) words.push_back(word.substr(start, dash - start));
            start = dash + 1;
        }
    };
    std::size_t wordStart = 0;
    int comment = 0;
    for (std::size_t i = 0; i <= text.size() && words.size() < 16; ++i) {
        const char c = i < text.size() ? text[i] : ' ';
        const bool blank = c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n';
        if (comment > 0 || blank || c == '(' || c == ')') {
            if (comment == 0 && i > wordStart) add(text.substr(wordStart, i - wordStart));
            if (c == '(') ++comment;
            if (c == ')' && comment > 0) --comment;
            wordStart = i + 1;
        }
    }
    return words;
}

// Minutes east of UTC for a zone word; nothing when the word is not a known zone.
std::optional<int> ZoneMinutes(std::string_view word) {
    if ((word[0] == '+' || word[0] == '-') && word.size() == 5 && AllDigits(word.substr(1))) {
        const int hours = Number(word.substr(1, 2));
        const int minutes = Number(word.substr(3, 2));
        if (hours > 23 || minutes > 59) return std::nullopt;
        const int total = hours * 60 + minutes;
        return word[0] == '-' ? -total : total;
    }
    std::string upper(word);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    static constexpr std::array<std::pair<std::string_view, int>, 12> kZones{{
        {"UT", 0},
        {"UTC", 0},
        {"GMT", 0},
        {"Z", 0},
        {"EST", -300},
        {"EDT", -240},
        {"CST", -360},
        {"CDT", -300},
        {"MST", -420},
        {"MDT", -360},
        {"PST", -480},
        {"PDT", -420},
    }};
    for (const auto& [name, minutes] : kZones) {
        if (upper == name) return minutes;
    }
    return std::nullopt;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool ParseTime(std::string_view word, int& hour, int& minute, int& second) {
    const std::size_t colon = word.find(':');
    const std::size_t colon2 = word.find(':', colon + 1);
    std::string_view h = word.substr(0, colon);
    std::string_view m = word.substr(
        colon + 1, colon2 == std::string_view::npos ? std::string_view::npos : colon2 - colon - 1);
    std::string_view s = colon2 == std::string_view::npos ? "0" : word.substr(colon2 + 1);
    if (!AllDigits(h) || !AllDigits(m) || !AllDigits(s) || h.size() > 2 || m.size() != 2 ||
        s.size() > 2) {
        return false;
    }
    hour = Number(h), minute = Number(m), second = Number(s);
    return hour < 24 && minute < 60 && second <= 60;
}

// RFC 3339 writes four-digit years: a zone may push a date of year 1000 or 9999 past them.
std::optional<std::time_t> InFourDigitYears(std::int64_t seconds) {
    const std::int64_t first = DaysFromCivil(1000, 1, 1) * 86400;
    const std::int64_t last = DaysFromCivil(10000, 1, 1) * 86400 - 1;
    if (seconds < first || seconds > last) return std::nullopt;
    return static_cast<std::time_t>(seconds);
}

}  // namespace

std::optional<std::time_t> ParseMailDate(std::string_view text) {
    int day = 0, month = 0, hour = -1, minute = 0, second = 0;
    std::int64_t year = -1;
    std::optional<int> zone;
    for (std::string_view word : Words(text)) {
        if (word.find(':') != std::string_view::npos) {
            if (hour < 0 && !ParseTime(word, hour, minute, second)) return std::nullopt;
        } else if (AllDigits(word)) {
            if (day == 0 && word.size() <= 2 && year < 0) {
                day = Number(word);
            } else if (year < 0 && word.size() <= 4) {
                year = Number(word);
                if (word.size() <= 2) year += year < 50 ? 2000 : 1900;
                if (word.size() == 3) year += 1900;
            }
        } else if (!zone && (word[0] == '+' || word[0] == '-')) {
            zone = ZoneMinutes(word);
        } else if (AllLetters(word)) {
            if (month == 0 && word.size() >= 3 && !MonthNumber(word).empty()) {
                month = Number(MonthNumber(word));
            } else if (!zone && WeekdayNumber(word).empty()) {
                zone = ZoneMinutes(word);
            }
        }
    }
    if (day < 1 || day > 31 || month == 0 || year < 1000 || year > 9999 || hour < 0) {
        return std::nullopt;
    }
    if (zone) {
        const std::int64_t seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 +
                                     minute * 60 + second - std::int64_t{*zone} * 60;
        return InFourDigitYears(seconds);
    }
    std::tm local{};
    local.tm_year = static_cast<int>(year - 1900);
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    if (when == static_cast<std::time_t>(-1)) return std::nullopt;
    return InFourDigitYears(when);
}
