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
#include "compiled_regex.h"
#include "log.h"
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

std::string quoted(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\r')
      out += "\\r";
    else if (*p == '\t')
      out += "\\t";
    else if (*p == '"' || *p == '\\')
      out += std::string("\\") + *p;
    else
      out += *p;
  }
  return out + "\"";
}

std::vector<std::string> split_tokens(const char* proper) {
  std::vector<char> copy(proper, proper + std::strlen(proper) + 1);
  char* rest = copy.data();
  std::vector<std::string> tokens;
  while (char* token = next_rule_token(rest)) tokens.emplace_back(token);
  return tokens;
}

void lint_spacing(const char* line, const RuleLine& rule, std::vector<std::string>& warnings) {
  char canonical[32];
  int len = std::snprintf(canonical, sizeof canonical, "%u %c", rule.number, rule.kind_char);
  if (std::strncmp(line, canonical, static_cast<std::size_t>(len)) != 0)
    warnings.push_back("spacing before the kind letter differs from \"" + std::string(canonical) +
                       " \": the rule text is found by position, so it starts at another character");
  if (rule.text[0] == ' ')
    warnings.push_back("the rule text begins with a space (more than one space after the kind letter)");
  std::size_t text_len = std::strlen(rule.text);
  if (text_len > 0 && rule.text[text_len - 1] == '\r')
    warnings.push_back("carriage return before the newline: it is part of the rule text");
  if (rule.text[0] == '\0') warnings.push_back("empty rule text");
  if (rule.negated && rule.text[1] != ' ')
    warnings.push_back("negation drops the character after '!', which is not a space here");
}

void lint_tokens(const RuleLine& rule, const std::vector<std::string>& tokens, std::vector<std::string>& warnings) {
  for (const std::string& token : tokens) {
    if (token.empty()) {
      warnings.push_back("empty token (two separators in a row, or one at the start or end)");
      continue;
    }
    if (rule.kind_char == rule_grammar::behaviour_kind && !rule_grammar::is_behaviour_token(token))
      warnings.push_back("unknown behaviour token " + quoted(token.c_str()));
    if (rule.kind_char != rule_grammar::envelope_kind) continue;
    if (token.size() < 3 || token[1] != ':') {
      warnings.push_back("envelope token " + quoted(token.c_str()) + " is not qualifier:pattern");
      continue;
    }
    CompiledRegex re;
    if (!re.compile(token.c_str() + 2, REG_EXTENDED | REG_NOSUB))
      warnings.push_back("pattern " + quoted(token.c_str() + 2) + " does not compile");
    if (!rule_grammar::is_qualifier(token[0]))
      warnings.push_back(std::string("unknown envelope qualifier '") + token[0] + "'");
  }
}

std::vector<std::string> lint_rule(const char* line, const RuleLine& rule) {
  std::vector<std::string> warnings;
  lint_spacing(line, rule, warnings);
  switch (rule.kind_char) {
    case rule_grammar::hostname_kind: {
      CompiledRegex re;
      if (!re.compile(rule.proper, REG_EXTENDED | REG_ICASE | REG_NOSUB))
        warnings.push_back("pattern " + quoted(rule.proper) + " does not compile");
      break;
    }
    case rule_grammar::behaviour_kind:
    case rule_grammar::envelope_kind:
    case rule_grammar::environment_kind:
      lint_tokens(rule, split_tokens(rule.proper), warnings);
      break;
    default:
      warnings.push_back(std::string("unknown kind '") + rule.kind_char + "' (kinds are b, e, r and v)");
  }
  return warnings;
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
      case LineKind::too_long:
        std::printf("too long (max is %u bytes with the newline): skipped\n",
                    static_cast<unsigned>(rule_buffer_size - 1));
        warnings.emplace_back("line skipped");
        break;
      case LineKind::nul_byte:
        std::printf("holds a NUL byte: skipped\n");
        warnings.emplace_back("line skipped");
        break;
      case LineKind::unparsable:
        std::printf("does not parse as \"number kind rule\": skipped\n");
        warnings.emplace_back("line skipped");
        break;
      case LineKind::number_negative:
        std::printf("number is negative: skipped\n");
        warnings.emplace_back("line skipped");
        break;
      case LineKind::number_too_large:
        std::printf("number does not fit (max is %u): skipped\n", largest_rule_number);
        warnings.emplace_back("line skipped");
        break;
      default:
        describe_rule(rule);
        warnings = lint_rule(reader.line(), rule);
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
