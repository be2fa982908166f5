// ListTime.cpp - the listing's date cell, written by hand: a 1,000-entry listing spent a third
// of its time in strftime's general "%c" path. The bytes are strftime's; times it would write
// otherwise than this fixed form (years outside 1000-9999, odd fields) go to strftime itself.
#include "publish/ListTime.h"

namespace {

constexpr const char kDays[] = "SunMonTueWedThuFriSat";
constexpr const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

char* PutTwo(char* at, int value, char firstPad) {
    at[0] = value >= 10 ? static_cast<char>('0' + value / 10) : firstPad;
    at[1] = static_cast<char>('0' + value % 10);
    return at + 2;
}

bool InFixedForm(const std::tm& t) {
    const int year = t.tm_year + 1900;
    return year >= 1000 && year <= 9999 && t.tm_wday >= 0 && t.tm_wday <= 6 && t.tm_mon >= 0 &&
           t.tm_mon <= 11 && t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_hour >= 0 &&
           t.tm_hour <= 23 && t.tm_min >= 0 && t.tm_min <= 59 && t.tm_sec >= 0 && t.tm_sec <= 60;
}

}  // namespace

std::string FormatListTime(std::time_t time) {
    std::tm local{};
    if (!localtime_r(&time, &local)) return {};
    if (!InFixedForm(local)) {
        char text[64];
        std::size_t length = std::strftime(text, sizeof text, "%c", &local);
        return std::string(text, length);
    }
    // "%a %b %e %H:%M:%S %Y"
    char text[24];
    char* at = text;
    for (int i = 0; i < 3; ++i)
        *at++ = kDays[local.tm_wday * 3 + i];
    *at++ = ' ';
    for (int i = 0; i < 3; ++i)
        *at++ = kMonths[local.tm_mon * 3 + i];
    *at++ = ' ';
    at = PutTwo(at, local.tm_mday, ' ');
    *at++ = ' ';
    at = PutTwo(at, local.tm_hour, '0');
    *at++ = ':';
    at = PutTwo(at, local.tm_min, '0');
    *at++ = ':';
    at = PutTwo(at, local.tm_sec, '0');
    *at++ = ' ';
    const int year = local.tm_year + 1900;
    at = PutTwo(at, year / 100, '0');
    at = PutTwo(at, year % 100, '0');
    return std::string(text, static_cast<std::size_t>(at - text));
}
