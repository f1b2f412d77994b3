// ostrel's client keys: canonical addresses and networks from any text.
// The first two bytes choose the prefix lengths, the rest is the text.
#include <cstdint>
#include <cstring>
#include <string>

#include "client_address.h"

namespace {

using namespace client_address;

// A key is a short terminated text without a quote that reads back as
// itself: what ostrel stores, ostrelctl accepts and names the same rows.
void check_stable(const KeyText& key) {
  std::size_t len = strnlen(key.data(), key.size());
  if (len == 0 || len == key.size() || std::memchr(key.data(), '\'', len) != nullptr) __builtin_trap();
  KeyText again{};
  KeyCheck result = check_key(std::string(key.data(), len), again);
  if (result != KeyCheck::address && result != KeyCheck::network) __builtin_trap();
  if (std::strcmp(again.data(), key.data()) != 0) __builtin_trap();
}

unsigned prefix_from(std::uint8_t byte, PrefixRange range) {
  if (byte == 0) return 0;
  return range.shortest + byte % (range.longest - range.shortest + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  KeyPrefixes prefixes{prefix_from(data[0], ipv4_prefixes), prefix_from(data[1], ipv6_prefixes)};
  std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
  if (std::optional<KeyText> key = client_key(text, prefixes)) check_stable(*key);
  KeyText key{};
  switch (check_key(text, key)) {
    case KeyCheck::address:
    case KeyCheck::network:
    case KeyCheck::host_bits_set:  // the network meant
      check_stable(key);
      break;
    case KeyCheck::bad_network:
    case KeyCheck::not_an_address:
      break;
  }
  return 0;
}
