// AddressList.h - CAddressList, a set of IPv4/IPv6 addresses and CIDR prefixes that a client's
// address is matched against (the `admin` keyword).
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CAddressList {
  public:
    // Adds every comma-separated entry of `text`: "192.0.2.7", "10.0.0.0/8", "::1",
    // "2001:db8::/32". Blanks around entries are ignored. Returns the entries that could not
    // be read (an empty list when all were good); those match nothing.
    std::vector<std::string> Add(std::string_view text);
    // True when `peer` lies in one of the entries. An IPv4 client seen through an IPv6
    // socket (::ffff:a.b.c.d) matches the IPv4 entries. Anything not IP matches nothing.
    bool Contains(const sockaddr_storage& peer) const;
    bool Empty() const { return m_entries.empty(); }
    void Clear() { m_entries.clear(); }

  private:
    struct CEntry {
        bool m_v6 = false;
        std::array<std::uint8_t, 16> m_bytes{};  // 4 used for IPv4
        int m_prefix = 0;                        // leading bits that must match
    };
    bool AddOne(std::string_view entry);

    std::vector<CEntry> m_entries;
};
