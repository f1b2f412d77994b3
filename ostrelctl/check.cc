// ostrelctl check [--db PATH] [--no-host-lookups] [CHILD [ARGS...]]: run
// as the chain's user with the chain's environment, it tries what ostrel
// will need on every connection and prints one line per item:
//   ok: ITEM: what holds
//   FAILED: ITEM: what is wrong, and what to do
//   skipped: ITEM: why it does not apply
// Exit status: 0 every item holds (or is skipped), 1 an item failed, 2 usage.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client_address.h"
#include "commands.h"
#include "exim_command.h"
#include "exim_trust.h"
#include "policy_settings.h"
#include "rule_lint.h"
#include "store.h"
#include "suspicion.h"
#include "tls_credentials.h"

namespace {

constexpr const char* usage_text =
    "usage: ostrelctl check [--db PATH] [--no-host-lookups] [CHILD [ARGS...]]\n"
    "Run as the chain's user with the chain's environment: checks the database (DBFILE or --db:\n"
    "reachable, both tables, writable, schema current), SUSPICION, TLSCERT/TLSKEY, GREYLIST_CIDR4/6,\n"
    "the policy (GREYLIST_MINDELAY, GREYLIST_PENDING_HOURS, GREYLIST_VERIFIED_HOURS, GREYLIST_REPLY),\n"
    "the server program CHILD as ostrel runs it (and, for ostrel-exim, exim's trust in this user\n"
    "with ARGS' -C/-D), host-name rules (--no-host-lookups: tcpserver runs with -H) and greetdelay\n"
    "rules without GREETDELAY. One line per item: ok:, FAILED: or skipped:.\n"
    "Exit status: 0 every item holds, 1 an item failed, 2 usage error.\n";

// As long as ostrel-exim waits for exim's answer.
constexpr int exim_answer_timeout_ms = 40000;

class Report {
 public:
  __attribute__((format(printf, 3, 4))) void ok(const char* item, const char* format, ...) {
    va_list args;
    va_start(args, format);
    line("ok", item, format, args);
    va_end(args);
  }
  __attribute__((format(printf, 3, 4))) void failed(const char* item, const char* format, ...) {
    va_list args;
    va_start(args, format);
    line("FAILED", item, format, args);
    va_end(args);
    ++failures_;
  }
  __attribute__((format(printf, 3, 4))) void skipped(const char* item, const char* format, ...) {
    va_list args;
    va_start(args, format);
    line("skipped", item, format, args);
    va_end(args);
  }
  [[nodiscard]] int status() const { return failures_ == 0 ? 0 : 1; }

 private:
  // Each line in one write: the journal and a terminal see it whole.
  __attribute__((format(printf, 3, 0))) static void line(const char* verdict, const char* item, const char* format,
                                                         va_list args) {
    char text[2048];
    int len = std::snprintf(text, sizeof text, "%s: %s: ", verdict, item);
    len += std::vsnprintf(text + len, sizeof text - static_cast<std::size_t>(len), format, args);
    std::size_t size = std::min(static_cast<std::size_t>(len), sizeof text - 2);
    text[size] = '\n';
    std::fflush(stdout);
    ssize_t ignored = write(STDOUT_FILENO, text, size + 1);
    (void)ignored;
  }

  unsigned failures_ = 0;
};

// ---- The database.

void check_database(Report& report, const char* location) {
  constexpr const char* item = "database";
  StoreChoice choice = store_for(location);
  if (!choice.store) return report.failed(item, "%s", choice.unsupported.c_str());
  Store& store = *choice.store;
  const char* file = store.location_named_in_errors();
  const std::string where = file != nullptr ? std::string("'") + file + "'" : std::string("the PostgreSQL database");
  const std::string init = std::string("ostrelctl init-db") + (file != nullptr ? std::string(" ") + file : " URI");
  StoreOpening opened = store.open(StoreCreate::never);
  if (opened.status != StoreOpen::opened)
    return report.failed(item, "cannot open %s: %s", where.c_str(), opened.error.c_str());
  const std::string name = file != nullptr ? where : store.describe();
  TablesCheck tables = store.check_tables();
  if (tables.status == TablesCheck::Status::unreadable)
    return report.failed(item, "cannot use %s as this user: %s", name.c_str(), tables.error.c_str());
  if (tables.status == TablesCheck::Status::missing)
    return report.failed(item, "%s has no table '%s': run %s", name.c_str(), tables.missing_table, init.c_str());
  StoreResult<bool> due = store.upgrade_due();
  StoreResult<int> version = store.schema_version();
  if (!due.ok() || !version.ok())
    return report.failed(item, "cannot read the schema version of %s: %s", name.c_str(),
                         (due.ok() ? version.error : due.error)->text().c_str());
  if (due.value)
    return report.failed(item, "%s has schema version %d, this ostrel's is %d: run %s", name.c_str(), version.value,
                         current_schema_version, init.c_str());
  StoreResult<> written = store.try_write();
  if (!written.ok())
    return report.failed(item, "%s is not writable for this user, so ostrel could record nothing: %s", name.c_str(),
                         written.error->text().c_str());
  report.ok(item, "%s has both tables, schema version %d, and takes writes", name.c_str(), version.value);
}

// ---- The suspicion file and what its rules need.

struct RuleFileFacts {
  unsigned faulty = 0;
  std::string first_fault;       // "line N: why"
  unsigned hostname_line = 0;    // the first rule of kind r
  unsigned greetdelay_line = 0;  // the first rule that asks for greetdelay
};

RuleFileFacts read_rule_file(std::FILE* file) {
  RuleFileFacts facts;
  char line_buffer[rule_buffer_size];
  RuleFileReader reader(file, line_buffer);
  for (RuleLine rule = reader.next(); rule.kind != LineKind::end_of_file; rule = reader.next()) {
    if (rule.kind == LineKind::comment) continue;
    std::vector<std::string> warnings;
    if (rule.kind != LineKind::rule) {
      warnings.push_back(skip_reason(rule.kind) + ", so ostrel skips it");
    } else {
      warnings = lint_rule(reader.line(), rule);
      if (rule.kind_char == rule_grammar::hostname_kind && facts.hostname_line == 0)
        facts.hostname_line = reader.line_number();
      if (rule.kind_char == rule_grammar::behaviour_kind && facts.greetdelay_line == 0)
        for (const std::string& token : split_tokens(rule.proper))
          if (token == rule_grammar::greetdelay) facts.greetdelay_line = reader.line_number();
    }
    if (warnings.empty()) continue;
    if (facts.faulty++ == 0) facts.first_fault = "line " + std::to_string(reader.line_number()) + ": " + warnings[0];
  }
  return facts;
}

// GREETDELAY as ostrel reads it: a leading number, else its default; 0
// sets no trap.
bool greeting_trap_set() {
  const char* value = std::getenv("GREETDELAY");
  unsigned delay = 0;
  return value != nullptr && (std::sscanf(value, "%u", &delay) != 1 || delay != 0);
}

void check_suspicion(Report& report, bool host_lookups) {
  const char* path = std::getenv("SUSPICION");
  if (path == nullptr) {
    report.skipped("suspicion", "SUSPICION is not set");
    report.skipped("host-names", "SUSPICION is not set");
    report.skipped("greetdelay", "SUSPICION is not set");
    return;
  }
  std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path, "r"), &std::fclose);
  if (!file) {
    report.failed("suspicion", "cannot open '%s': %s", path, std::strerror(errno));
    report.skipped("host-names", "the suspicion file cannot be read");
    report.skipped("greetdelay", "the suspicion file cannot be read");
    return;
  }
  RuleFileFacts facts = read_rule_file(file.get());
  if (facts.faulty == 0)
    report.ok("suspicion", "'%s' has no faulty line", path);
  else
    report.failed("suspicion", "'%s' has %u faulty line%s, first %s (see ostrelctl check-rules %s)", path, facts.faulty,
                  facts.faulty == 1 ? "" : "s", facts.first_fault.c_str(), path);
  if (facts.hostname_line == 0)
    report.ok("host-names", "no rule of kind r");
  else if (host_lookups)
    report.ok("host-names", "the rule of kind r in line %u has tcpserver's host names (no --no-host-lookups)",
              facts.hostname_line);
  else
    report.failed("host-names",
                  "line %u is a rule of kind r, but tcpserver looks up no host names (-H): ostrel logs an error for "
                  "it on every connection; comment it out or run tcpserver with -h or -hp",
                  facts.hostname_line);
  if (facts.greetdelay_line == 0)
    report.ok("greetdelay", "no rule asks for greetdelay");
  else if (greeting_trap_set())
    report.ok("greetdelay", "the rule in line %u has its trap (GREETDELAY)", facts.greetdelay_line);
  else
    report.failed("greetdelay",
                  "line %u asks for greetdelay, but GREETDELAY is unset or 0: ostrel logs an error for it on every "
                  "connection; set GREETDELAY (3000) or drop the token",
                  facts.greetdelay_line);
}

// ---- TLS and the client key.

void check_tls(Report& report) {
  constexpr const char* item = "tls";
  const char* cert = std::getenv("TLSCERT");
  const char* key = std::getenv("TLSKEY");
  if (cert == nullptr)
    return report.skipped(
        item, key != nullptr ? "TLSCERT is not set (ostrel ignores TLSKEY without it)" : "TLSCERT is not set");
  const char* key_file = key != nullptr ? key : cert;
  TlsCredentials loaded = load_tls_credentials(cert, key);
  const char* detail = loaded.detail.c_str();
  switch (loaded.status) {
    case TlsLoad::loaded:
      return report.ok(item, "the certificate chain '%s' and the private key '%s' load and match", cert, key_file);
    case TlsLoad::certificate:
      return report.failed(item, "cannot load the certificate chain '%s': %s", cert, detail);
    case TlsLoad::key:
      return report.failed(item, "cannot load the private key '%s': %s", key_file, detail);
    case TlsLoad::mismatch:
      return report.failed(item, "the private key '%s' does not match the certificate '%s': %s", key_file, cert,
                           detail);
    case TlsLoad::library:
      return report.failed(item, "the TLS library failed: %s", detail);
  }
}

// Empty when the variable is unset or right, else why it is wrong.
std::string prefix_fault(const char* name, client_address::PrefixRange range, std::string& shown) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    shown += std::string(shown.empty() ? "" : ", ") + name + " unset";
    return "";
  }
  shown += std::string(shown.empty() ? "" : ", ") + name + "=" + value;
  if (client_address::parse_prefix_length(value, range)) return "";
  return std::string(name) + " must be a prefix length from " + std::to_string(range.shortest) + " to " +
         std::to_string(range.longest) + ", not '" + value + "'";
}

void check_client_key(Report& report) {
  std::string shown;
  std::string faults = prefix_fault("GREYLIST_CIDR4", client_address::ipv4_prefixes, shown);
  std::string v6 = prefix_fault("GREYLIST_CIDR6", client_address::ipv6_prefixes, shown);
  if (!v6.empty()) faults += (faults.empty() ? "" : "; ") + v6;
  if (!faults.empty()) return report.failed("client-key", "%s: ostrel ends every connection", faults.c_str());
  report.ok("client-key", "%s", shown.c_str());
}

// GREYLIST_MINDELAY, GREYLIST_PENDING_HOURS, GREYLIST_VERIFIED_HOURS and
// GREYLIST_REPLY, read as ostrel reads them at start-up.
void check_policy(Report& report) {
  constexpr const char* item = "policy";
  // ostrel sends the reply from its 1024-byte text buffer.
  constexpr std::size_t reply_room = 1024;
  SettingRead<CleanupAges> ages = cleanup_ages_from_env();
  if (!ages.ok()) return report.failed(item, "%s: ostrel ends every connection", ages.error->c_str());
  SettingRead<std::optional<std::uint32_t>> delay = min_delay_from_env(ages.value);
  if (!delay.ok()) return report.failed(item, "%s: ostrel ends every connection", delay.error->c_str());
  SettingRead<std::optional<std::string>> reply = reply_from_env(reply_room);
  if (!reply.ok()) return report.failed(item, "%s: ostrel ends every connection", reply.error->c_str());
  std::string delay_text = delay.value ? std::to_string(*delay.value) + " seconds" : std::string("none");
  report.ok(item, "minimum delay %s, pending rows kept %u hours, verified %u hours, %s reply", delay_text.c_str(),
            ages.value.pending_hours, ages.value.verified_hours, reply.value ? "own" : "built-in");
}

// ---- The server program.

// ostrel runs it with execv: the path as given, no PATH search.
void check_server(Report& report, std::span<char* const> command) {
  constexpr const char* item = "server";
  if (command.empty()) {
    report.skipped(item, "no server program given");
    report.skipped("exim-trust", "no server program given");
    return;
  }
  const char* path = command[0];
  struct stat info {};
  int error = stat(path, &info) != 0 ? errno : !S_ISREG(info.st_mode) ? EACCES : access(path, X_OK) != 0 ? errno : 0;
  if (error != 0)
    report.failed(item, "'%s' cannot be run: %s%s", path, std::strerror(error),
                  std::strchr(path, '/') == nullptr ? " (ostrel runs it by this name as a path: no PATH search)" : "");
  else
    report.ok(item, "'%s' is an executable file", path);

  const char* base = std::strrchr(path, '/');
  if (std::strcmp(base != nullptr ? base + 1 : path, "ostrel-exim") != 0)
    return report.skipped("exim-trust", "the server program is not ostrel-exim");
  std::string exim = exim_command::exim_path(std::getenv("EXIM"));
  exim_trust::Caller caller = exim_trust::current_caller();
  std::string user = exim_trust::user_name(caller.uid);
  exim_trust::Check trust =
      exim_trust::check(exim, exim_command::configuration_args(command.subspan(1)), caller, exim_answer_timeout_ms);
  using exim_trust::Failure;
  switch (trust.failure) {
    case Failure::none:
      if (trust.verdict != exim_trust::Verdict::untrusted)
        return report.ok("exim-trust", "%s trusts user '%s' (%s) with the client's address", exim.c_str(), user.c_str(),
                         exim_trust::describe(trust.verdict));
      return report.failed("exim-trust",
                           "user '%s' is not trusted by %s, which would take every client for a local user: name it "
                           "in trusted_users (Debian: MAIN_TRUSTED_USERS) or one of its groups in trusted_groups",
                           user.c_str(), exim.c_str());
    case Failure::cannot_run:
      return report.failed("exim-trust", "cannot run %s: %s", exim.c_str(), std::strerror(trust.error));
    case Failure::timed_out:
      return report.failed("exim-trust", "%s gave no answer within %d seconds", exim.c_str(),
                           exim_answer_timeout_ms / 1000);
    case Failure::ended_badly:
      return report.failed("exim-trust", "%s -bP ended with status %d: %s", exim.c_str(),
                           WIFEXITED(trust.status) ? WEXITSTATUS(trust.status) : 128 + WTERMSIG(trust.status),
                           trust.detail.c_str());
    case Failure::unreadable:
      return report.failed("exim-trust", "%s names no exim_user, trusted_users and trusted_groups: %s", exim.c_str(),
                           trust.detail.c_str());
  }
}

}  // namespace

int check_command(int argc, char** argv) {
  enum { DB = 256, NO_HOST_LOOKUPS, HELP };
  static const option long_options[] = {{"db", required_argument, nullptr, DB},
                                        {"no-host-lookups", no_argument, nullptr, NO_HOST_LOOKUPS},
                                        {"help", no_argument, nullptr, HELP},
                                        {nullptr, 0, nullptr, 0}};
  const char* db = nullptr;
  bool host_lookups = true;
  optind = 1;
  opterr = 1;
  int c;
  // "+": the options end at CHILD; its own arguments are its.
  while ((c = getopt_long(argc, argv, "+", long_options, nullptr)) != -1) {
    if (c == DB) {
      db = optarg;
    } else if (c == NO_HOST_LOOKUPS) {
      host_lookups = false;
    } else if (c == HELP) {
      std::fputs(usage_text, stdout);
      return 0;
    } else {
      std::fputs(usage_text, stderr);
      return 2;
    }
  }
  if (db == nullptr) db = std::getenv("DBFILE");
  Report report;
  check_database(report, db != nullptr ? db : default_db_path);
  check_suspicion(report, host_lookups);
  check_tls(report);
  check_client_key(report);
  check_policy(report);
  check_server(report, std::span<char* const>(argv + optind, static_cast<std::size_t>(argc - optind)));
  return report.status();
}
