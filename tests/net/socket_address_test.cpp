#include "net/socket_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

SocketAddress Parsed(const char* text, uint16_t port = 0) {
    SocketAddress out;
    EXPECT_TRUE(SocketAddress::Parse(text, port, out)) << text;
    return out;
}

// What a dual-stack socket reports for a peer.
sockaddr_storage SystemIPv6(const char* text, uint16_t port) {
    sockaddr_storage storage{};
    auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET6, text, &v6.sin6_addr), 1) << text;
    return storage;
}

TEST(SocketAddress, TextsAreRfc5952AndMappedAddressesAreIPv4) {
    struct Case {
        const char* given;
        const char* shown;
        bool ipv6;
    };
    const Case cases[] = {
        {"192.0.2.33", "192.0.2.33", false},
        {"::ffff:192.0.2.33", "192.0.2.33", false},  // mapped: the IPv4 peer itself
        {"0:0:0:0:0:FFFF:C000:0221", "192.0.2.33", false},
        {"::1", "::1", true},
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1", true},  // lower case, no zeros
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1", true},  // the first of equal runs
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1", true},  // one zero group stays
        {"2001:db8:0:0:0:1:0:0", "2001:db8::1:0:0", true},  // the longest run
        {"::102:304", "::102:304", true},  // no dotted tail but for mapped ones
        {"fe80::1:2:3:4", "fe80::1:2:3:4", true},
        {"1111:2222:3333:4444:5555:6666:7777:8888", "1111:2222:3333:4444:5555:6666:7777:8888",
         true},
    };
    for (const Case& c : cases) {
        const SocketAddress address = Parsed(c.given, 21);
        EXPECT_EQ(address.Text(), c.shown) << c.given;
        EXPECT_EQ(address.IsIPv6(), c.ipv6) << c.given;
        EXPECT_EQ(address.Port(), 21) << c.given;
    }
    // The longest text fits the record texts, with its terminator.
    const SocketAddress longest = Parsed("1111:2222:3333:4444:5555:6666:7777:8888");
    char exact[ADDRESS_TEXT_SIZE];
    EXPECT_STREQ(longest.Text(exact, sizeof exact), "1111:2222:3333:4444:5555:6666:7777:8888");
    char tooSmall[10];
    EXPECT_STREQ(longest.Text(tooSmall, sizeof tooSmall), "");
}

TEST(SocketAddress, ParseTakesNumericTextsOnly) {
    SocketAddress out = Parsed("198.18.0.2", 7);
    for (const char* refused : {"", "localhost", "[::1]", "fe80::1%lo", "1.2.3", "::1::2",
                                "2001:db8::/64", "12345::1"}) {
        EXPECT_FALSE(SocketAddress::Parse(refused, 0, out)) << refused;
    }
    EXPECT_FALSE(SocketAddress::Parse(nullptr, 0, out));
    EXPECT_EQ(out.Text(), "198.18.0.2");  // untouched by the refusals
    EXPECT_EQ(out.Port(), 7);
}

TEST(SocketAddress, FromSystemUnmapsAndKeepsThePort) {
    const SocketAddress mapped = SocketAddress::FromSystem(SystemIPv6("::ffff:127.0.0.1", 4321));
    EXPECT_FALSE(mapped.IsIPv6());
    EXPECT_EQ(mapped.IPv4(), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(mapped.Port(), 4321);
    EXPECT_EQ(mapped.Length(), sizeof(sockaddr_in));
    EXPECT_TRUE(mapped.SameHost(SocketAddress::FromIPv4(htonl(INADDR_LOOPBACK), 1)));

    const SocketAddress plain = SocketAddress::FromSystem(SystemIPv6("2001:db8::5", 80));
    EXPECT_TRUE(plain.IsIPv6());
    EXPECT_EQ(plain.Length(), sizeof(sockaddr_in6));
    EXPECT_EQ(plain.IPv4(), 0u);
    EXPECT_TRUE(plain.SameHost(Parsed("2001:db8::5", 9)));
    EXPECT_FALSE(plain.SameHost(Parsed("2001:db8::6")));
    EXPECT_FALSE(Parsed("0.0.0.0").SameHost(Parsed("::")));  // families differ
}

TEST(SocketAddress, Network64IsTheFirstHalf) {
    EXPECT_EQ(IPv6Network64(Parsed("2001:db8:1:2:aaaa::1").IPv6()),
              IPv6Network64(Parsed("2001:db8:1:2:ffff:ffff:ffff:ffff").IPv6()));
    EXPECT_NE(IPv6Network64(Parsed("2001:db8:1:2::1").IPv6()),
              IPv6Network64(Parsed("2001:db8:1:3::1").IPv6()));
    EXPECT_EQ(IPv6Network64(Parsed("2001:db8:1:2::").IPv6()), 0x20010db800010002ull);
}

}  // namespace
