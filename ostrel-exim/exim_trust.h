// Whether exim trusts its caller, decided as exim decides it. exim takes
// the client's identity (-oMa, -oMi, ...) only from a trusted caller and
// ignores those options, silently, from any other: the session would then
// take a remote client for a local user. Trusted are root, exim's own user
// (exim_user), a user that trusted_users names, and a user whose group or
// one of whose supplementary groups trusted_groups names. The names come
// from exim itself (`exim -bP ...`, asked with the arguments that choose
// the configuration the session will read); root needs no question.
// Returns results and never ends the process, so that other tools can
// make the same check.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace exim_trust {

// The real user and groups of the process: the ones exim judges.
struct Caller {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

[[nodiscard]] Caller current_caller();

// The user's name, or its number when it has none.
[[nodiscard]] std::string user_name(uid_t uid);

// exim's answer to -bP for the options that decide trust, as it prints
// them: names (or numbers) separated by colons.
struct Settings {
  std::string exim_user;
  std::string trusted_users;
  std::string trusted_groups;
};

// The three values from exim's "NAME = VALUE" lines; nothing when one of
// them is missing.
[[nodiscard]] std::optional<Settings> parse_settings(std::string_view answer);

enum class Verdict { root, exim_user, trusted_users, trusted_groups, untrusted };

[[nodiscard]] Verdict judge(const Settings& settings, const Caller& caller);

// What made trust the verdict, for a log line: "root", "exim's own user", ...
[[nodiscard]] const char* describe(Verdict verdict);

enum class Failure {
  none,
  cannot_run,   // exim could not be started: error holds errno
  timed_out,    // no whole answer within the time allowed; exim was killed
  ended_badly,  // exim did not end with status 0: status holds the wait status
  unreadable,   // the answer lacks one of the settings
};

struct Check {
  Verdict verdict = Verdict::untrusted;
  Failure failure = Failure::none;
  int error = 0;
  int status = 0;
  std::string detail;  // what exim wrote, in one line, when the answer is of no use
};

// The question exim is asked, after config_args.
inline constexpr const char* query_options[] = {"-bP", "exim_user", "trusted_users", "trusted_groups"};

// Whether exim (the program at path exim, run with config_args) trusts
// caller. Root is trusted without a question; anyone else costs one run
// of exim, which gets /dev/null as its input and at most timeout_ms to
// answer. A check with a failure carries no verdict.
[[nodiscard]] Check check(const std::string& exim, const std::vector<std::string>& config_args, const Caller& caller,
                          int timeout_ms);

}  // namespace exim_trust
