// The admin address list: reading entries, prefix edges, IPv4 seen through IPv6, and the
// keyword's commas.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>

#include "server/AddressList.h"
#include "server/Options.h"

namespace {

sockaddr_storage Peer(const char* text) {
    sockaddr_storage peer{};
    if (std::strchr(text, ':')) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(peer);
        v6.sin6_family = AF_INET6;
        EXPECT_EQ(inet_pton(AF_INET6, text, &v6.sin6_addr), 1) << text;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(peer);
        v4.sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, text, &v4.sin_addr), 1) << text;
    }
    return peer;
}

TEST(AddressListTest, MatchesAddressesAndPrefixesOnly) {
    CAddressList list;
    EXPECT_FALSE(list.Contains(Peer("127.0.0.1")));  // none by default
    std::vector<std::string> bad =
        list.Add(" 127.0.0.1 ,10.1.0.0/17,2001:db8::/33,::1, 300.1.1.1,10.0.0.0/33,x/8,1.2.3.4/");
    EXPECT_EQ(bad, (std::vector<std::string>{"300.1.1.1", "10.0.0.0/33", "x/8", "1.2.3.4/"}));
    EXPECT_TRUE(list.Contains(Peer("127.0.0.1")));
    EXPECT_FALSE(list.Contains(Peer("127.0.0.2")));
    EXPECT_TRUE(list.Contains(Peer("10.1.127.255")));  // last address of the /17
    EXPECT_FALSE(list.Contains(Peer("10.1.128.0")));   // first one past it
    EXPECT_TRUE(list.Contains(Peer("2001:db8:7fff::1")));
    EXPECT_FALSE(list.Contains(Peer("2001:db8:8000::1")));
    EXPECT_TRUE(list.Contains(Peer("::1")));
    EXPECT_TRUE(list.Contains(Peer("::ffff:127.0.0.1")));  // IPv4 through an IPv6 socket
    EXPECT_FALSE(list.Contains(Peer("::ffff:127.0.0.2")));
    EXPECT_FALSE(list.Contains(sockaddr_storage{}));  // no address (memory streams)

    CAddressList everyone;
    everyone.Add("0.0.0.0/0");
    EXPECT_TRUE(everyone.Contains(Peer("203.0.113.9")));
    EXPECT_FALSE(everyone.Contains(Peer("::2")));  // an IPv4 prefix says nothing of IPv6
}

TEST(AddressListTest, KeywordKeepsItsCommasAndAddsUpOverLines) {
    COptions options("admin=127.0.0.1, 10.0.0.0/8,::1&port=9,title=t");
    EXPECT_EQ(options.m_admin, "127.0.0.1, 10.0.0.0/8,::1");
    EXPECT_EQ(options.m_port, 9);
    EXPECT_EQ(options.m_title, "t");
    options.ParseOptions("ADMIN=192.0.2.1");
    EXPECT_EQ(options.m_admin, "127.0.0.1, 10.0.0.0/8,::1,192.0.2.1");
}

}  // namespace
