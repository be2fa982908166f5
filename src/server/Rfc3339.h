// Rfc3339.h - times in the form machine-readable replies use (RFC 3339, UTC).
#pragma once

#include <ctime>
#include <string>

// "1995-01-09T18:11:12Z"; empty when the time cannot be represented.
std::string FormatRfc3339Utc(std::time_t time);
