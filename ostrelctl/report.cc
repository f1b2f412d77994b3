// `ostrelctl report [--by hour|day] [--json] [--top N] [FILE...]`: reads
// ostrel's decision lines among any other lines of a log (standard input
// without FILE, or for "-") and prints connections per outcome per hour or
// day, the delay of mail that passed, the share of greylisted triples that
// never came back, and the sender domains and networks delayed most.
// Exit status: 0 all read, 1 a file that could not be read or a decision
// line that could not (the report holds the rest), 2 usage error.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "decision_line.h"
#include "commands.h"
#include "decision_tally.h"
#include "log_time.h"
#include "table_output.h"
#include "unique_fd.h"

namespace {

constexpr const char* usage_text =
    "usage: ostrelctl report [--by hour|day] [--json] [--top N] [FILE...]\n"
    "Reads ostrel's decision lines among the other lines of a log (standard input\n"
    "without FILE, or for -) and prints connections greylisted, passed and verified\n"
    "per hour or day (default: day), the delay of mail that passed after being\n"
    "greylisted, the share of greylisted triples that never came back, and the N\n"
    "sender domains and networks delayed most (default 10). --json prints one JSON\n"
    "object. Exit status: 0 all read, 1 a file or a decision line that could not be\n"
    "read, 2 usage error.\n";

// No line of ostrel's comes near this; longer lines are cut here and the
// rest of them is passed over, so a file without newlines costs no more
// memory than any other.
constexpr std::size_t max_line_length = 65536;

enum class Period { hour, day };

struct Options {
  Period period = Period::day;
  bool json = false;
  std::size_t top = 10;
  std::vector<const char*> files;
};

// Returns -1 when the options are fine, else the exit status to end with.
int parse_options(int argc, char** argv, Options& options) {
  enum { BY = 256, JSON, TOP, HELP };
  static const option long_options[] = {{"by", required_argument, nullptr, BY},
                                        {"json", no_argument, nullptr, JSON},
                                        {"top", required_argument, nullptr, TOP},
                                        {"help", no_argument, nullptr, HELP},
                                        {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 1;
  int c;
  while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
    if (c == BY && (std::strcmp(optarg, "hour") == 0 || std::strcmp(optarg, "day") == 0)) {
      options.period = optarg[0] == 'h' ? Period::hour : Period::day;
    } else if (c == JSON) {
      options.json = true;
    } else if (c == TOP && std::strspn(optarg, "0123456789") == std::strlen(optarg) && std::strlen(optarg) < 7 &&
               optarg[0] != '\0') {
      options.top = std::strtoul(optarg, nullptr, 10);
    } else if (c == HELP) {
      std::fputs(usage_text, stdout);
      return 0;
    } else {
      if (c == BY || c == TOP)
        std::fprintf(stderr, "ostrelctl: report: %s, not '%s'\n",
                     c == BY ? "--by takes hour or day" : "--top takes a number up to 999999", optarg);
      std::fputs(usage_text, stderr);
      return 2;
    }
  }
  for (int i = optind; i < argc; ++i) options.files.push_back(argv[i]);
  if (options.files.empty()) options.files.push_back("-");
  return -1;
}

// The lines of one descriptor, without their newlines.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buffer_(2 * max_line_length) {}

  // The next line; nothing at the end of the input or on a read error.
  std::optional<std::string_view> next() {
    for (;;) {
      char* begin = buffer_.data() + start_;
      char* newline = static_cast<char*>(std::memchr(begin, '\n', end_ - start_));
      if (skipping_) {  // the rest of a line that was cut
        start_ = newline != nullptr ? static_cast<std::size_t>(newline - buffer_.data()) + 1 : end_;
        skipping_ = newline == nullptr;
        if (newline != nullptr) continue;
      } else if (newline != nullptr || end_ - start_ >= max_line_length || (at_end_ && start_ < end_)) {
        std::size_t len = newline != nullptr ? static_cast<std::size_t>(newline - begin) : end_ - start_;
        bool whole = newline != nullptr ? len <= max_line_length : at_end_ && len <= max_line_length;
        len = std::min(len, max_line_length);
        start_ = newline != nullptr ? static_cast<std::size_t>(newline - buffer_.data()) + 1 : start_ + len;
        skipping_ = !whole && newline == nullptr;
        return std::string_view(begin, len);
      }
      if (at_end_) return std::nullopt;
      fill();
    }
  }

  [[nodiscard]] int error() const { return error_; }

 private:
  void fill() {
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    ssize_t n;
    do n = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
      at_end_ = true;
      error_ = n < 0 ? errno : 0;
    } else {
      end_ += static_cast<std::size_t>(n);
    }
  }

  int fd_;
  std::vector<char> buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
  bool skipping_ = false;
  int error_ = 0;
};

// What was read, beside the tally.
struct Reading {
  std::uint64_t lines = 0;
  std::uint64_t decisions = 0;
  std::uint64_t damaged = 0;
  std::string first_damaged;  // FILE:LINE
  bool failed = false;        // a file could not be read
};

void read_input(const char* name, int fd, const Options& options, const std::tm& now, DecisionTally& tally,
                Reading& reading) {
  LineReader reader(fd);
  std::string scratch;
  std::uint64_t number = 0;
  while (std::optional<std::string_view> line = reader.next()) {
    ++reading.lines;
    ++number;
    decision_line::ReadLine read = decision_line::read_log_line(*line, scratch);
    if (read.kind == decision_line::LineKind::other) continue;
    if (read.kind == decision_line::LineKind::damaged) {
      if (reading.damaged++ == 0) reading.first_damaged = std::string(name) + ":" + std::to_string(number);
      continue;
    }
    ++reading.decisions;
    std::optional<LogTime> when = log_line_time(*line, now);
    std::optional<std::string> label;
    if (when) label = options.period == Period::hour ? hour_label(*when) : day_label(*when);
    tally.add(read.decision, label);
  }
  if (reader.error() != 0) {
    std::fprintf(stderr, "ostrelctl: report: cannot read '%s': %s\n", name, std::strerror(reader.error()));
    reading.failed = true;
  }
}

std::string duration(std::uint64_t s) {
  char text[64];
  if (s < 60)
    std::snprintf(text, sizeof text, "%" PRIu64 "s", s);
  else if (s < 3600)
    std::snprintf(text, sizeof text, "%" PRIu64 "m%02" PRIu64 "s", s / 60, s % 60);
  else if (s < 86400)
    std::snprintf(text, sizeof text, "%" PRIu64 "h%02" PRIu64 "m%02" PRIu64 "s", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%" PRIu64 "d%02" PRIu64 "h%02" PRIu64 "m", s / 86400, s / 3600 % 24, s / 60 % 60);
  return text;
}

// Aligned columns: the first to the left, the others to the right.
void print_table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i)
      std::printf(i == 0 ? "%-*s" : "  %*s", static_cast<int>(widths[i]), row[i].c_str());
    std::printf("\n");
  }
}

std::vector<std::string> count_cells(std::string label, const OutcomeCounts& counts) {
  std::vector<std::string> row{std::move(label)};
  for (std::uint64_t n : counts) row.push_back(std::to_string(n));
  return row;
}

std::vector<std::string> outcome_header(const char* first) {
  std::vector<std::string> row{first};
  for (std::size_t i = 0; i < outcome_count; ++i)
    row.emplace_back(decision_line::outcome_word(static_cast<decision_line::Outcome>(i)));
  return row;
}

// A name read from the log, fit for a terminal: only ostrel's own lines are
// sure to hold printable addresses.
std::string printable(std::string_view name) {
  std::string out;
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= ' ' && c < 0x7f && c != '\\') {
      out += ch;
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02x", c);
      out += code;
    }
  }
  return out;
}

void print_parties(const char* title, const char* kind, const std::vector<DelayedParty>& parties) {
  if (parties.empty()) return;
  std::printf("\n%s\n", title);
  std::vector<std::vector<std::string>> rows{{kind, "passed", "total delay", "longest", "greylisted"}};
  for (const DelayedParty& p : parties)
    rows.push_back({printable(p.name), std::to_string(p.passes), duration(p.total_delay), duration(p.max_delay),
                    std::to_string(p.greylisted)});
  print_table(rows);
}

void print_text(const DecisionTally& tally, const Reading& reading, const Options& options) {
  std::printf("%" PRIu64 " lines read, %" PRIu64 " decision lines", reading.lines, reading.decisions);
  if (reading.damaged != 0) std::printf(" and %" PRIu64 " damaged", reading.damaged);
  std::printf("\n\n");
  std::vector<std::vector<std::string>> rows{outcome_header(options.period == Period::hour ? "hour" : "day")};
  for (const auto& [label, counts] : tally.buckets()) rows.push_back(count_cells(label, counts));
  if (tally.untimed()) rows.push_back(count_cells("no time", *tally.untimed()));
  rows.push_back(count_cells("total", tally.total()));
  print_table(rows);

  std::printf("\n");
  if (std::optional<DelaySummary> d = tally.delays())
    std::printf("delay of mail passed after greylisting (%" PRIu64
                " passed): median %s, 90th percentile %s, "
                "longest %s\n",
                d->passes, duration(d->median).c_str(), duration(d->p90).c_str(), duration(d->max).c_str());
  else
    std::printf("no mail passed after greylisting\n");
  std::uint64_t greylisted = tally.triples_greylisted(), back = tally.triples_back();
  std::printf("greylisted triples: %" PRIu64 ", came back %" PRIu64 ", never came back %" PRIu64, greylisted, back,
              greylisted - back);
  if (greylisted != 0) std::printf(" (%.1f%%)", 100.0 * static_cast<double>(greylisted - back) / greylisted);
  std::printf("\n");
  print_parties("sender domains delayed most:", "sender domain", tally.top_senders(options.top));
  print_parties("networks delayed most:", "network", tally.top_networks(options.top));
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7f) {  // 8-bit bytes as the code points of the same number
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", c);
      out += code;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string json_counts(const OutcomeCounts& counts) {
  static constexpr const char* names[outcome_count] = {"greylisted", "passed", "promoted", "rule_passed", "verified"};
  std::string out;
  for (std::size_t i = 0; i < outcome_count; ++i)
    out += (i ? ", \"" : "\"") + std::string(names[i]) + "\": " + std::to_string(counts[i]);
  return out;
}

std::string json_parties(const char* kind, const std::vector<DelayedParty>& parties) {
  std::string out = "[";
  for (const DelayedParty& p : parties)
    out += std::string(out.size() > 1 ? ",\n    " : "\n    ") + "{\"" + kind + "\": " + json_string(p.name) +
           ", \"passed\": " + std::to_string(p.passes) + ", \"total_delay\": " + std::to_string(p.total_delay) +
           ", \"longest_delay\": " + std::to_string(p.max_delay) + ", \"greylisted\": " + std::to_string(p.greylisted) +
           "}";
  return out + (parties.empty() ? "]" : "\n  ]");
}

void print_json(const DecisionTally& tally, const Reading& reading, const Options& options) {
  std::printf("{\n  \"lines\": %" PRIu64 ",\n  \"decision_lines\": %" PRIu64 ",\n  \"damaged_lines\": %" PRIu64
              ",\n  \"by\": \"%s\",\n  \"periods\": [",
              reading.lines, reading.decisions, reading.damaged, options.period == Period::hour ? "hour" : "day");
  const char* separator = "\n    ";
  for (const auto& [label, counts] : tally.buckets()) {
    std::printf("%s{\"time\": %s, %s}", separator, json_string(label).c_str(), json_counts(counts).c_str());
    separator = ",\n    ";
  }
  if (tally.untimed()) {
    std::printf("%s{\"time\": null, %s}", separator, json_counts(*tally.untimed()).c_str());
    separator = ",\n    ";
  }
  std::printf("%s],\n  \"total\": {%s},\n  \"delay\": ", separator[0] == ',' ? "\n  " : "",
              json_counts(tally.total()).c_str());
  if (std::optional<DelaySummary> d = tally.delays())
    std::printf("{\"passed\": %" PRIu64 ", \"median\": %" PRIu32 ", \"p90\": %" PRIu32 ", \"longest\": %" PRIu32 "}",
                d->passes, d->median, d->p90, d->max);
  else
    std::printf("null");
  std::uint64_t greylisted = tally.triples_greylisted(), back = tally.triples_back();
  std::printf(",\n  \"triples\": {\"greylisted\": %" PRIu64 ", \"came_back\": %" PRIu64
              ", \"never_came_back\": %" PRIu64 ", \"never_came_back_share\": ",
              greylisted, back, greylisted - back);
  if (greylisted != 0)
    std::printf("%.4f}", static_cast<double>(greylisted - back) / static_cast<double>(greylisted));
  else
    std::printf("null}");
  std::printf(",\n  \"senders\": %s,\n  \"networks\": %s\n}\n",
              json_parties("domain", tally.top_senders(options.top)).c_str(),
              json_parties("network", tally.top_networks(options.top)).c_str());
}

}  // namespace

int report_command(int argc, char** argv) {
  Options options;
  if (int status = parse_options(argc, argv, options); status >= 0) return status;
  std::time_t now_seconds = std::time(nullptr);
  std::tm now{};
  localtime_r(&now_seconds, &now);
  DecisionTally tally;
  Reading reading;
  for (const char* file : options.files) {
    if (std::strcmp(file, "-") == 0) {
      read_input("standard input", 0, options, now, tally, reading);
      continue;
    }
    UniqueFd fd(open(file, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
      std::fprintf(stderr, "ostrelctl: report: cannot read '%s': %s\n", file, std::strerror(errno));
      reading.failed = true;
      continue;
    }
    read_input(file, fd.get(), options, now, tally, reading);
  }
  if (options.json)
    print_json(tally, reading, options);
  else
    print_text(tally, reading, options);
  if (reading.damaged != 0)
    std::fprintf(stderr, "ostrelctl: report: %" PRIu64 " decision line%s could not be read, the first at %s\n",
                 reading.damaged, reading.damaged == 1 ? "" : "s", reading.first_damaged.c_str());
  if (!output_written()) return 1;
  return reading.failed || reading.damaged != 0 ? 1 : 0;
}
