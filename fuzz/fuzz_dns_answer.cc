// ferrow's handling of a DNS answer: any bytes, as a successful reply, a
// missing name or an error.
#include <ares.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "dnsbl.h"
#include "log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_setup("ferrow: ");
  log_threshold = 7;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const int statuses[] = {ARES_SUCCESS, ARES_ENODATA, ARES_ENOTFOUND, ARES_ESERVFAIL, ARES_ETIMEOUT};
  dnsbl::Lookup lookup("192.0.2.1", "1.2.0.192");
  dnsbl::ZoneQuery zone;
  std::strcpy(zone.name.data(), "1.2.0.192.zone.test");
  zone.lookup = &lookup;
  std::vector<unsigned char> answer(data + 1, data + size);
  int status = statuses[data[0] % 5];
  lookup.on_answer(zone, status, answer.data(), static_cast<int>(answer.size()));
  lookup.on_answer(zone, status, answer.data(), static_cast<int>(answer.size()));
  if (zone.slot != 2 || lookup.listed() != (status == ARES_SUCCESS)) __builtin_trap();
  return 0;
}
