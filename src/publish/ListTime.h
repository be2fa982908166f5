// ListTime.h - the date cell of a listing row.
#pragma once

#include <ctime>
#include <string>

// Local time as "%c" gives it in the C locale the program keeps ("Tue Dec  8 15:27:50 2026");
// empty when the time cannot be converted.
std::string FormatListTime(std::time_t time);
