// The decision line: any log line read as one, and any decision written
// and read back, must come back exactly.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decision_line.h"

namespace {

using decision_line::Decision;

// A line that reads as a decision is written again as it reads, and reads
// back the same.
void read_write_read(std::string_view line) {
  std::string scratch;
  decision_line::ReadLine first = decision_line::read_log_line(line, scratch);
  if (first.kind != decision_line::LineKind::decision) return;
  std::vector<char> out(line.size() + 1);  // canonical values: never longer than read
  std::size_t len = decision_line::format(first.decision, out.data(), out.size());
  if (len == 0) __builtin_trap();
  std::string again_scratch;
  std::optional<Decision> again = decision_line::parse_fields(std::string_view(out.data(), len), again_scratch);
  if (!again || !(*again == first.decision)) __builtin_trap();
}

// Texts cut from the input make a decision, which must read back exactly.
void write_read(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  auto piece = [&rest]() {
    std::size_t len = rest.empty() ? 0 : static_cast<unsigned char>(rest[0]) % 64;
    if (!rest.empty()) rest.remove_prefix(1);
    std::string_view text = rest.substr(0, len);
    rest.remove_prefix(text.size());
    return text;
  };
  auto number = [&rest]() {
    std::uint32_t n = 0;
    for (int i = 0; i < 4 && !rest.empty(); ++i, rest.remove_prefix(1))
      n = n << 8 | static_cast<unsigned char>(rest[0]);
    return n;
  };
  unsigned char flags = rest.empty() ? 0 : static_cast<unsigned char>(rest[0]);
  auto outcome = static_cast<decision_line::Outcome>(flags % 5);
  std::string_view client = piece(), key = piece(), from = piece(), to = piece();
  Decision d = outcome == decision_line::Outcome::verified
                   ? decision_line::on_verified(client, key)
                   : decision_line::on_envelope(outcome, client, key, from, to, number(), number(), number());
  if (flags & 0x80) d.wait = number();
  char out[decision_line::text_size];
  std::size_t len = decision_line::format(d, out, sizeof out);
  if (len == 0) __builtin_trap();
  std::string scratch;
  std::string line = "(1) ostrel: " + std::string(out, len);  // the decision read views it
  decision_line::ReadLine read = decision_line::read_log_line(line, scratch);
  if (read.kind != decision_line::LineKind::decision || !(read.decision == d)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1)
    write_read(data + 1, size - 1);
  else
    read_write_read(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
