// The suspicion file reader and rule matcher: the input is the file; the
// first bytes choose the client's facts.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "log.h"
#include "suspicion.h"

namespace {

const char* fuzz_env(const char* name) { return std::strcmp(name, "BLACKLISTED") == 0 ? "" : nullptr; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_setup("ostrel: ");
  log_threshold = 7;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  SuspicionFacts facts;
  facts.addr = "192.0.2.1";
  facts.hostname = (data[0] & 1) ? "pool-1.dsl.example.net" : nullptr;
  facts.greetdelay_watched = (data[0] & 2) != 0;
  facts.greetdelay_trapped = (data[0] >> 2) & 1;
  facts.numattempts = data[1] % 8;
  facts.attemptsintrv = data[2] * 8u;
  facts.cmderrs = data[3] % 3;
  facts.helo = "client.example";
  facts.from = (data[0] & 8) ? "" : "postmaster@example.org";
  facts.to = "abuse@example.net";
  facts.lookup_env = fuzz_env;
  std::string content(reinterpret_cast<const char*>(data) + 4, size - 4);
  std::FILE* file = fmemopen(content.data(), content.size() ? content.size() : 1, "r");
  if (file == nullptr) return 0;
  char line[rule_buffer_size];
  Threshold result = evaluate_rule_file(file, "fuzz.rules", line, facts);
  std::fclose(file);
  // A file gives a rule's number, which never exceeds the largest one, or no match.
  if (result.source == Threshold::Source::rule && result.number > largest_rule_number) __builtin_trap();
  if (result.source != Threshold::Source::rule && result.source != Threshold::Source::no_match) __builtin_trap();
  return 0;
}
