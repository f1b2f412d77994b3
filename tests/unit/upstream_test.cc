#include "upstream.h"

#include <gtest/gtest.h>

using upstream::AddressWord;

TEST(AddressWord, TakesTheFirstWord) {
  upstream::Target target;
  EXPECT_EQ(upstream::read_address_word("127.0.0.1 and more", target), AddressWord::ok);
  EXPECT_STREQ(target.address.data(), "127.0.0.1");
  EXPECT_EQ(upstream::read_address_word("  10.0.0.1\t", target), AddressWord::ok);
  EXPECT_STREQ(target.address.data(), "10.0.0.1");
  EXPECT_EQ(upstream::read_address_word("255.255.255.255", target), AddressWord::ok);
}

TEST(AddressWord, RefusesEmptyAndOverlongWords) {
  upstream::Target target;
  EXPECT_EQ(upstream::read_address_word("", target), AddressWord::missing);
  EXPECT_EQ(upstream::read_address_word(" \t ", target), AddressWord::missing);
  EXPECT_EQ(upstream::read_address_word("1234567890123456", target), AddressWord::too_long);
}

TEST(Port, DefaultsTo25) {
  EXPECT_EQ(upstream::read_port(nullptr), 25);
  EXPECT_EQ(upstream::read_port("abc"), 25);
  EXPECT_EQ(upstream::read_port("2525"), 2525);
  EXPECT_EQ(upstream::read_port(" 587x"), 587);
}
