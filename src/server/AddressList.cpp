// AddressList.cpp - parsing and matching of address prefixes.
#include "server/AddressList.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

namespace {

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlanks = " \t";
    std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool PrefixMatches(const std::uint8_t* a, const std::uint8_t* b, int bits) {
    int whole = bits / 8;
    if (std::memcmp(a, b, static_cast<std::size_t>(whole)) != 0) return false;
    int rest = bits % 8;
    if (rest == 0) return true;
    auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

std::vector<std::string> CAddressList::Add(std::string_view text) {
    std::vector<std::string> bad;
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        std::string_view entry = Trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (!entry.empty() && !AddOne(entry)) bad.emplace_back(entry);
    }
    return bad;
}

bool CAddressList::AddOne(std::string_view entry) {
    CEntry parsed;
    std::size_t slash = entry.find('/');
    std::string address(entry.substr(0, slash));
    if (::inet_pton(AF_INET, address.c_str(), parsed.m_bytes.data()) == 1) {
        parsed.m_prefix = 32;
    } else if (::inet_pton(AF_INET6, address.c_str(), parsed.m_bytes.data()) == 1) {
        parsed.m_v6 = true;
        parsed.m_prefix = 128;
    } else {
        return false;
    }
    if (slash != std::string_view::npos) {
        std::string_view digits = entry.substr(slash + 1);
        int prefix = -1;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            prefix < 0 || prefix > parsed.m_prefix) {
            return false;
        }
        parsed.m_prefix = prefix;
    }
    m_entries.push_back(parsed);
    return true;
}

bool CAddressList::Contains(const sockaddr_storage& peer) const {
    std::uint8_t bytes[16];
    bool v6;
    if (peer.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
        std::memcpy(bytes, &v4.sin_addr, 4);
        v6 = false;
    } else if (peer.ss_family == AF_INET6) {
        const auto& address = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        v6 = !IN6_IS_ADDR_V4MAPPED(&address);
        std::memcpy(bytes, v6 ? address.s6_addr : address.s6_addr + 12, v6 ? 16 : 4);
    } else {
        return false;
    }
    for (const CEntry& entry : m_entries) {
        if (entry.m_v6 == v6 && PrefixMatches(entry.m_bytes.data(), bytes, entry.m_prefix)) {
            return true;
        }
    }
    return false;
}
