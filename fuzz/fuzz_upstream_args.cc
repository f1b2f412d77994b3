// tunwick's reading of its address word and port.
#include <cstdint>
#include <cstring>
#include <string>

#include "upstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t split = text.find('\0');
  std::string address = text.substr(0, split);
  std::string port = split == std::string::npos ? "" : text.substr(split + 1);
  upstream::Target target;
  if (upstream::read_address_word(address.c_str(), target) == upstream::AddressWord::ok) {
    std::size_t len = std::strlen(target.address.data());
    if (len == 0 || len >= upstream::address_size) __builtin_trap();
  }
  (void)upstream::read_port(port.empty() ? nullptr : port.c_str());
  return 0;
}
