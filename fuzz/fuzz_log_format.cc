// The log channel's composition of any prefix and format, and lines whose
// values are arbitrary text.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_setup("fuzz: ");
  log_threshold = 7;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::size_t split = data[1] < text.size() ? data[1] : text.size();
  std::string prefix = text.substr(0, split);
  std::string fmt = text.substr(split);
  prefix.erase(std::remove(prefix.begin(), prefix.end(), '%'), prefix.end());
  char out[logchan::format_size + 64];
  std::memset(out, 'Z', sizeof out);
  int pid = (data[0] & 2) ? std::numeric_limits<int>::min() + data[0] : data[0];  // the longest pid texts too
  logchan::compose_format(out, data[0] & 1, pid, prefix.c_str(), fmt.c_str());
  std::size_t len = std::strlen(out);
  if (len >= logchan::format_size || out[len - 1] != '\n') __builtin_trap();
  for (std::size_t i = logchan::format_size; i < sizeof out; ++i)
    if (out[i] != 'Z') __builtin_trap();
  log_msg(7, "value '%s' and %d", text.c_str(), static_cast<int>(size));
  return 0;
}
