#include "dnsbl.h"

#include <gtest/gtest.h>

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
