#include "client_address.h"

#include <gtest/gtest.h>

#include <string>

using namespace client_address;

namespace {

std::string key_of(const char* text, KeyPrefixes prefixes = {}) {
  std::optional<KeyText> key = client_key(text, prefixes);
  return key ? std::string(key->data()) : std::string("(none)");
}

std::string checked(const char* text, KeyCheck expected) {
  KeyText key{};
  KeyCheck result = check_key(text, key);
  EXPECT_EQ(result, expected) << text;
  return key.data();
}

}  // namespace

TEST(ClientKey, SpellingsOfOneAddressShareOneKey) {
  EXPECT_EQ(key_of("192.0.2.1"), "192.0.2.1");
  EXPECT_EQ(key_of("2001:db8::1"), "2001:db8::1");
  EXPECT_EQ(key_of("2001:DB8:0:0:0:0:0:1"), "2001:db8::1");
  EXPECT_EQ(key_of("2001:0db8:0000::0001"), "2001:db8::1");
  EXPECT_EQ(key_of("::1"), "::1");
  EXPECT_EQ(key_of("0:0:0:0:0:0:0:1"), "::1");
  EXPECT_EQ(key_of("::"), "::");
  EXPECT_EQ(key_of("2001:db8:0:0:1:0:0:1"), "2001:db8::1:0:0:1");  // the first longest run of zeros
  EXPECT_EQ(key_of("fe80:0:0:0:0:0:0:abcd"), "fe80::abcd");
}

TEST(ClientKey, Ipv4MappedAddressIsTheIpv4Address) {
  EXPECT_EQ(key_of("::ffff:192.0.2.1"), "192.0.2.1");
  EXPECT_EQ(key_of("::FFFF:c000:0201"), "192.0.2.1");
  EXPECT_EQ(key_of("0:0:0:0:0:ffff:192.0.2.1"), "192.0.2.1");
  // Only the mapped block is IPv4: the old compatible form and NAT64 are not.
  EXPECT_EQ(key_of("::192.0.2.1"), "::192.0.2.1");
  EXPECT_EQ(key_of("64:ff9b::192.0.2.1"), "64:ff9b::c000:201");
  EXPECT_EQ(key_of("::ffff:192.0.2.1", {24, 64}), "192.0.2.0/24");
}

TEST(ClientKey, OtherTextHasNoKey) {
  for (const char* text : {"", "example.org", "192.0.2", "192.0.2.1.5", "192.0.2.256", "192.000.2.1", "0x7f.0.0.1",
                           " 192.0.2.1", "192.0.2.1 ", "2001:db8::1::2", "2001:db8::g", "fe80::1%eth0", "192.0.2.0/24",
                           "1.2.3.4' OR '1'='1", "::ffff:192.0.2.1.1"})
    EXPECT_EQ(key_of(text), "(none)") << text;
  EXPECT_EQ(key_of(std::string(200, '1').c_str()), "(none)");
  EXPECT_FALSE(parse(std::string_view("192.0.2.1\0", 10)));
}

TEST(ClientKey, NetworksClearTheHostBits) {
  KeyPrefixes by_network{24, 64};
  EXPECT_EQ(key_of("192.0.2.10", by_network), "192.0.2.0/24");
  EXPECT_EQ(key_of("192.0.2.77", by_network), "192.0.2.0/24");
  EXPECT_EQ(key_of("192.0.3.77", by_network), "192.0.3.0/24");
  EXPECT_EQ(key_of("2001:db8:1:2:a:b:c:d", by_network), "2001:db8:1:2::/64");
  EXPECT_EQ(key_of("2001:DB8:1:2::77", by_network), "2001:db8:1:2::/64");
  EXPECT_EQ(key_of("2001:db8:1:3::77", by_network), "2001:db8:1:3::/64");
  // Prefixes that do not end at a byte boundary.
  EXPECT_EQ(key_of("192.0.2.255", {25, 0}), "192.0.2.128/25");
  EXPECT_EQ(key_of("198.51.100.7", {8, 0}), "198.0.0.0/8");
  EXPECT_EQ(key_of("203.0.113.255", {31, 0}), "203.0.113.254/31");
  EXPECT_EQ(key_of("2001:db8:abcd:ef12::1", {0, 20}), "2001::/20");
  EXPECT_EQ(key_of("2001:db8:abcd:ef12::1", {0, 45}), "2001:db8:abc8::/45");
  EXPECT_EQ(key_of("2001:db8::ffff", {0, 127}), "2001:db8::fffe/127");
  // Each family has its own setting.
  EXPECT_EQ(key_of("192.0.2.10", {0, 64}), "192.0.2.10");
  EXPECT_EQ(key_of("2001:db8::1", {24, 0}), "2001:db8::1");
}

TEST(ClientKey, AFullLengthPrefixIsTheAddressItself) {
  EXPECT_EQ(key_of("192.0.2.10", {32, 128}), "192.0.2.10");
  EXPECT_EQ(key_of("2001:DB8::1", {32, 128}), "2001:db8::1");
}

TEST(ClientKey, LongestTextsFit) {
  EXPECT_EQ(key_of("ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", {0, 127}), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127");
  EXPECT_EQ(key_of("1111:2222:3333:4444:5555:6666:255.255.255.255", {0, 127}),
            "1111:2222:3333:4444:5555:6666:ffff:fffe/127");
}

TEST(PrefixLength, DigitsWithinTheRangeOnly) {
  EXPECT_EQ(parse_prefix_length("8", ipv4_prefixes), 8u);
  EXPECT_EQ(parse_prefix_length("24", ipv4_prefixes), 24u);
  EXPECT_EQ(parse_prefix_length("32", ipv4_prefixes), 32u);
  EXPECT_EQ(parse_prefix_length("024", ipv4_prefixes), 24u);
  EXPECT_EQ(parse_prefix_length("0024", ipv4_prefixes), 24u);
  EXPECT_EQ(parse_prefix_length("16", ipv6_prefixes), 16u);
  EXPECT_EQ(parse_prefix_length("128", ipv6_prefixes), 128u);
  for (const char* text : {"", "7", "33", "0", "-24", "+24", " 24", "24 ", "24x", "2 4", "0x18", "4294967320"})
    EXPECT_FALSE(parse_prefix_length(text, ipv4_prefixes)) << text;
  for (const char* text : {"15", "129", "999", "64/", "sixty-four"})
    EXPECT_FALSE(parse_prefix_length(text, ipv6_prefixes)) << text;
}

TEST(AdminKey, AddressesAndNetworksInCanonicalForm) {
  EXPECT_EQ(checked("192.0.2.1", KeyCheck::address), "192.0.2.1");
  EXPECT_EQ(checked("2001:DB8::0:1", KeyCheck::address), "2001:db8::1");
  EXPECT_EQ(checked("::ffff:192.0.2.1", KeyCheck::address), "192.0.2.1");
  EXPECT_EQ(checked("192.0.2.0/24", KeyCheck::network), "192.0.2.0/24");
  EXPECT_EQ(checked("2001:DB8:1:2::/64", KeyCheck::network), "2001:db8:1:2::/64");
  EXPECT_EQ(checked("192.0.2.7/32", KeyCheck::network), "192.0.2.7");
  EXPECT_EQ(checked("::ffff:192.0.2.0/24", KeyCheck::network), "192.0.2.0/24");
}

TEST(AdminKey, RefusesWhatNoClientCanBeKeyedOn) {
  EXPECT_EQ(checked("192.0.2.77/24", KeyCheck::host_bits_set), "192.0.2.0/24");
  EXPECT_EQ(checked("2001:db8:1:2::1/64", KeyCheck::host_bits_set), "2001:db8:1:2::/64");
  for (const char* text : {"192.0.2.0/7", "192.0.2.0/33", "192.0.2.0/", "192.0.2.0/24/24", "2001:db8::/15",
                           "2001:db8::/129", "::ffff:192.0.2.0/120", "192.0.2.0/ 24"}) {
    KeyText key{};
    EXPECT_EQ(check_key(text, key), KeyCheck::bad_network) << text;
  }
  for (const char* text : {"", "/24", "example.org", "example.org/24", "1.2.3.4' OR '1'='1", "192.0.2.0\t/24"}) {
    KeyText key{};
    EXPECT_EQ(check_key(text, key), KeyCheck::not_an_address) << text;
  }
}
