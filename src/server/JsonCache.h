// JsonCache.h - the last JSON listing of a folder, kept with what it was made from. A folder's
// children never change after the scan; only a file's size and time may, when a reply finds
// the file changed on disk. So the listing is made again only when one of those differs.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct CJsonCache {
    std::mutex m_lock;
    std::vector<std::pair<std::int64_t, std::time_t>> m_stamp;  // size and time per entry
    std::string m_body;                                         // empty: nothing kept yet
};
