#include "dnsbl.h"

#include <gtest/gtest.h>

#include <string>

TEST(ReverseAddress, ReversesADottedQuad) {
  std::array<char, dnsbl::reversed_size> reversed{};
  ASSERT_TRUE(dnsbl::reverse_ipv4("192.0.2.1", reversed));
  EXPECT_STREQ(reversed.data(), "1.2.0.192");
  ASSERT_TRUE(dnsbl::reverse_ipv4("255.255.255.255", reversed));
  EXPECT_STREQ(reversed.data(), "255.255.255.255");
}

TEST(ReverseAddress, RefusesWhatIsNotADottedQuad) {
  std::array<char, dnsbl::reversed_size> reversed{};
  EXPECT_FALSE(dnsbl::reverse_ipv4("2001:db8::1", reversed));
  EXPECT_FALSE(dnsbl::reverse_ipv4("garbage", reversed));
  EXPECT_FALSE(dnsbl::reverse_ipv4("1.2.3", reversed));
  EXPECT_FALSE(dnsbl::reverse_ipv4("", reversed));
  EXPECT_FALSE(dnsbl::reverse_ipv4("1.2.3.256", reversed));
}

TEST(ReverseAddress, WritesTheNibbleNameOfAnIpv6Address) {
  std::array<char, dnsbl::reversed_size> reversed{};
  ASSERT_TRUE(dnsbl::reverse_ipv6("2001:db8::1", reversed));
  EXPECT_STREQ(reversed.data(), "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2");
  ASSERT_TRUE(dnsbl::reverse_ipv6("2001:0DB8:1234:5678:9abc:DEF0:fedc:ba98", reversed));
  EXPECT_STREQ(reversed.data(), "8.9.a.b.c.d.e.f.0.f.e.d.c.b.a.9.8.7.6.5.4.3.2.1.8.b.d.0.1.0.0.2");
  ASSERT_TRUE(dnsbl::reverse_ipv6("::", reversed));
  EXPECT_STREQ(reversed.data(), "0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0");
}

TEST(ReverseAddress, NibbleNameFillsTheFieldExactly) {
  std::array<char, dnsbl::reversed_size> reversed{};
  reversed.fill('x');
  ASSERT_TRUE(dnsbl::reverse_ipv6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", reversed));
  EXPECT_EQ(std::string(reversed.data()).size(), 63U);
  EXPECT_EQ(reversed.back(), '\0');
  EXPECT_EQ(std::string(reversed.data()), [] {
    std::string all_f;
    for (int i = 0; i < 32; ++i) all_f += i == 0 ? "f" : ".f";
    return all_f;
  }());
}

TEST(ReverseAddress, SpellingsOfOneAddressGiveOneName) {
  std::array<char, dnsbl::reversed_size> a{};
  std::array<char, dnsbl::reversed_size> b{};
  ASSERT_TRUE(dnsbl::reverse_address("2001:db8:0:0:1:0:0:1", a));
  ASSERT_TRUE(dnsbl::reverse_address("2001:DB8::1:0:0:1", b));
  EXPECT_STREQ(a.data(), b.data());
}

TEST(ReverseAddress, AskedNameOfEachKindOfAddress) {
  std::array<char, dnsbl::reversed_size> reversed{};
  ASSERT_TRUE(dnsbl::reverse_address("192.0.2.1", reversed));
  EXPECT_STREQ(reversed.data(), "1.2.0.192");
  ASSERT_TRUE(dnsbl::reverse_address("::ffff:192.0.2.1", reversed));
  EXPECT_STREQ(reversed.data(), "1.2.0.192");
  ASSERT_TRUE(dnsbl::reverse_address("::FFFF:c000:0201", reversed));
  EXPECT_STREQ(reversed.data(), "1.2.0.192");
  // IPv4-compatible and NAT64 addresses are IPv6 addresses of their own.
  ASSERT_TRUE(dnsbl::reverse_address("::192.0.2.1", reversed));
  EXPECT_STREQ(reversed.data(), "1.0.2.0.0.0.0.c.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0");
  ASSERT_TRUE(dnsbl::reverse_address("64:ff9b::c000:201", reversed));
  EXPECT_STREQ(reversed.data(), "1.0.2.0.0.0.0.c.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.b.9.f.f.4.6.0.0");
}

TEST(ReverseAddress, RefusesWhatIsNeitherIpv4NorIpv6) {
  std::array<char, dnsbl::reversed_size> reversed{};
  for (const char* text : {"", "garbage", "1.2.3", "1.2.3.256", "2001:db8::g", "2001:db8:::1", "fe80::1%lo",
                           "1:2:3:4:5:6:7:8:9", " ::1", "[::1]", "::ffff:1.2.3"}) {
    EXPECT_FALSE(dnsbl::reverse_address(text, reversed)) << text;
    EXPECT_FALSE(dnsbl::reverse_ipv6(text, reversed)) << text;
  }
  EXPECT_FALSE(dnsbl::reverse_ipv6("192.0.2.1", reversed));
}
