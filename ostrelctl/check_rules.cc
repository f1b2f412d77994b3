// ostrelctl check-rules FILE [facts]: shows how ostrel reads each line of a
// suspicion file, warns about lines that are probably not what their author
// meant and, given facts about a client, evaluates the file. Exit status: 0
// no faulty line, 1 some faulty line, 2 usage error.
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "log.h"
#include "rule_lint.h"
#include "suspicion.h"

namespace {

constexpr const char* usage_text =
    "usage: ostrelctl check-rules FILE [--host NAME] [--env NAME]... [--helo TEXT] [--from ADDR]\n"
    "                             [--to ADDR] [--greet-trapped 0|1] [--attempts N] [--interval SECS]\n"
    "                             [--cmderrs 0|1|2] [--addr IP] [--verbose]\n"
    "Shows how ostrel reads every line of the suspicion file FILE and warns about lines that are\n"
    "probably not what their author meant. With facts about a client it evaluates the file as\n"
    "ostrel would and prints the matching line and the number it returns; --verbose adds the\n"
    "log lines ostrel would write. Exit status: 0 no faulty line, 1 a faulty line, 2 usage error.\n";

struct Options {
  const char* path = nullptr;
  SuspicionFacts facts;
  bool evaluate = false;
  bool verbose = false;
};

std::vector<std::string> given_env;

const char* lookup_given_env(const char* name) {
  for (const std::string& entry : given_env)
    if (entry == name) return "";
  return nullptr;
}

bool parse_u32(const char* text, std::uint32_t& value) {
  errno = 0;
  char* end = nullptr;
  unsigned long long n = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || n > UINT32_MAX) return false;
  value = static_cast<std::uint32_t>(n);
  return true;
}

// Returns -1 when the options are fine, else the exit status to end with.
int parse_options(int argc, char** argv, Options& options) {
  enum { HOST = 256, ENV, HELO, FROM, TO, TRAPPED, ATTEMPTS, INTERVAL, CMDERRS, ADDR, VERBOSE, HELP };
  // clang-format off
  static const option long_options[] = {
      {"host", required_argument, nullptr, HOST},       {"env", required_argument, nullptr, ENV},
      {"helo", required_argument, nullptr, HELO},       {"from", required_argument, nullptr, FROM},
      {"to", required_argument, nullptr, TO},           {"greet-trapped", required_argument, nullptr, TRAPPED},
      {"attempts", required_argument, nullptr, ATTEMPTS}, {"interval", required_argument, nullptr, INTERVAL},
      {"cmderrs", required_argument, nullptr, CMDERRS}, {"addr", required_argument, nullptr, ADDR},
      {"verbose", no_argument, nullptr, VERBOSE},       {"help", no_argument, nullptr, HELP},
      {nullptr, 0, nullptr, 0}};
  // clang-format on
  SuspicionFacts& facts = options.facts;
  facts.addr = "client";
  facts.lookup_env = lookup_given_env;
  optind = 1;
  opterr = 1;
  int c;
  while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
    bool ok = true;
    options.evaluate = options.evaluate || (c != VERBOSE && c != HELP);
    switch (c) {
      case HOST:
        facts.hostname = optarg;
        break;
      case ENV:
        given_env.emplace_back(optarg);
        break;
      case HELO:
        facts.helo = optarg;
        break;
      case FROM:
        facts.from = optarg;
        break;
      case TO:
        facts.to = optarg;
        break;
      case ADDR:
        facts.addr = optarg;
        break;
      case TRAPPED:
        facts.greetdelay_watched = true;
        ok = parse_u32(optarg, facts.greetdelay_trapped) && facts.greetdelay_trapped <= 1;
        break;
      case ATTEMPTS:
        ok = parse_u32(optarg, facts.numattempts);
        break;
      case INTERVAL:
        ok = parse_u32(optarg, facts.attemptsintrv);
        break;
      case CMDERRS:
        ok = parse_u32(optarg, facts.cmderrs) && facts.cmderrs <= 2;
        break;
      case VERBOSE:
        options.verbose = true;
        break;
      case HELP:
        std::fputs(usage_text, stdout);
        return 0;
      default:
        ok = false;
        break;
    }
    if (!ok) {
      if (c != '?') std::fprintf(stderr, "ostrelctl: check-rules: bad value '%s'\n", optarg);
      std::fputs(usage_text, stderr);
      return 2;
    }
  }
  if (optind + 1 != argc) {
    std::fputs(usage_text, stderr);
    return 2;
  }
  options.path = argv[optind];
  return -1;
}

void describe_rule(const RuleLine& rule) {
  std::printf("number %u, kind '%c', rule text %s%s", rule.number, rule.kind_char, quoted(rule.text).c_str(),
              rule.negated ? ", negated" : "");
  if (rule.kind_char == rule_grammar::hostname_kind) {
    std::printf(", pattern %s\n", quoted(rule.proper).c_str());
    return;
  }
  std::printf(", tokens [");
  const char* separator = "";
  for (const std::string& token : split_tokens(rule.proper)) {
    std::printf("%s%s", separator, quoted(token.c_str()).c_str());
    separator = ", ";
  }
  std::printf("]\n");
}

// Lists every line as ostrel reads it; returns the number of faulty lines.
unsigned list_lines(std::FILE* file) {
  char line_buffer[rule_buffer_size];
  RuleFileReader reader(file, line_buffer);
  unsigned faulty = 0;
  for (RuleLine rule = reader.next(); rule.kind != LineKind::end_of_file; rule = reader.next()) {
    std::printf("line %u: ", reader.line_number());
    std::vector<std::string> warnings;
    switch (rule.kind) {
      case LineKind::comment:
        std::printf("comment\n");
        break;
      case LineKind::rule:
        describe_rule(rule);
        warnings = lint_rule(reader.line(), rule);
        break;
      default:
        std::printf("%s: skipped\n", skip_reason(rule.kind).c_str());
        warnings.emplace_back("line skipped");
    }
    for (const std::string& warning : warnings) std::printf("  warning: %s\n", warning.c_str());
    if (!warnings.empty()) ++faulty;
  }
  return faulty;
}

class PrintingObserver : public RuleObserver {
 public:
  void on_line(const RuleFileReader& reader, const RuleLine& line, RuleResult result) override {
    if (line.kind != LineKind::rule) return;
    const char* verdict = result == RuleResult::match        ? "matches"
                          : result == RuleResult::no_match   ? "does not match"
                          : result == RuleResult::spec_error ? "is malformed (skipped)"
                                                             : "cannot be evaluated for this client (skipped)";
    std::printf("  line %u %s\n", reader.line_number(), verdict);
  }
};

void evaluate(std::FILE* file, const Options& options) {
  std::printf("evaluation:\n");
  char line_buffer[rule_buffer_size];
  PrintingObserver observer;
  Threshold result = evaluate_rule_file(file, options.path, line_buffer, options.facts, &observer);
  if (result.source == Threshold::Source::rule)
    std::printf("result: %u re-attempts required (suspicious client: not promoted)\n", result.number);
  else
    std::printf("result: no rule matches; ostrel requires 1 re-attempt and then promotes the client\n");
}

}  // namespace

int check_rules_command(int argc, char** argv) {
  Options options;
  if (int status = parse_options(argc, argv, options); status >= 0) return status;
  log_setup("ostrel: ");
  log_threshold = options.verbose ? 7 : 0;
  std::FILE* file = std::fopen(options.path, "r");
  if (file == nullptr) {
    std::fprintf(stderr, "ostrelctl: cannot open suspicion file '%s': %s\n", options.path, std::strerror(errno));
    return 2;
  }
  unsigned faulty = list_lines(file);
  if (options.evaluate) {
    std::rewind(file);
    std::fflush(stdout);
    evaluate(file, options);
  }
  std::fclose(file);
  std::printf("%u faulty line%s\n", faulty, faulty == 1 ? "" : "s");
  return faulty == 0 ? 0 : 1;
}
