// Rfc3339.cpp - RFC 3339 time stamps in UTC.
#include "server/Rfc3339.h"

std::string FormatRfc3339Utc(std::time_t time) {
    std::tm utc{};
    if (!gmtime_r(&time, &utc) || utc.tm_year + 1900 < 0 || utc.tm_year + 1900 > 9999) return {};
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text, length);
}
