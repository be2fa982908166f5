// RequestHeaders.h - the header lines of a request head, looked up by name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The value of the first header line called `name` (ignoring case) among `lines` (the request
// line first, which is skipped), without the blanks around it; nullopt when there is none.
std::optional<std::string_view> FindRequestHeader(const std::vector<std::string>* lines,
                                                  std::string_view name);

// True when `list` (a comma-separated header value such as Accept-Encoding) names `token`
// (ignoring case) with a quality that is not zero ("gzip;q=0" refuses it).
bool HeaderListAccepts(std::string_view list, std::string_view token);
