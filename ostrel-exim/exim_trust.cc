#include "exim_trust.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "clock.h"
#include "unique_fd.h"

extern char** environ;

namespace exim_trust {

namespace {

// Far more than exim's answer to three options.
constexpr std::size_t answer_limit = 64 * 1024;

std::string_view trimmed(std::string_view text) {
  std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// A user or group as exim prints it: a number, or a name to look up.
template <typename Id, typename Lookup>
std::optional<Id> resolve(std::string_view word, Lookup lookup) {
  if (word.empty()) return std::nullopt;
  unsigned long number = 0;
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), number);
  if (error == std::errc() && end == word.data() + word.size()) return static_cast<Id>(number);
  std::string name(word);
  return lookup(name.c_str());
}

std::optional<uid_t> resolve_user(std::string_view word) {
  return resolve<uid_t>(word, [](const char* name) -> std::optional<uid_t> {
    const passwd* entry = getpwnam(name);
    if (entry == nullptr) return std::nullopt;
    return entry->pw_uid;
  });
}

std::optional<gid_t> resolve_group(std::string_view word) {
  return resolve<gid_t>(word, [](const char* name) -> std::optional<gid_t> {
    const group* entry = getgrnam(name);
    if (entry == nullptr) return std::nullopt;
    return entry->gr_gid;
  });
}

// Calls each(word) for every item of a colon-separated list until it
// returns true; whether one did.
template <typename Each>
bool any_item(std::string_view list, Each each) {
  while (!list.empty()) {
    std::size_t colon = list.find(':');
    std::string_view item = trimmed(list.substr(0, colon));
    if (!item.empty() && each(item)) return true;
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
  return false;
}

struct Answer {
  Failure failure = Failure::none;
  int error = 0;
  int status = 0;
  std::string text;
};

// Reads everything the program writes until it closes its output, the
// limit is reached or the time is up.
Failure read_answer(int fd, int timeout_ms, std::string& text) {
  long long deadline = monotonic_ms() + timeout_ms;
  char chunk[4096];
  for (;;) {
    long long left = deadline - monotonic_ms();
    if (left <= 0) return Failure::timed_out;
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return Failure::timed_out;
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return Failure::none;
    text.append(chunk, static_cast<std::size_t>(got));
    if (text.size() > answer_limit) return Failure::unreadable;
  }
}

Answer ask(const std::string& exim, const std::vector<std::string>& config_args, int timeout_ms) {
  Answer answer;
  // Where posix_spawn cannot report a failed exec (it then ends the child
  // with status 127), this still names the cause.
  if (access(exim.c_str(), X_OK) != 0) {
    answer.failure = Failure::cannot_run;
    answer.error = errno;
    return answer;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    answer.failure = Failure::cannot_run;
    answer.error = errno;
    return answer;
  }
  UniqueFd from_exim(ends[0]);
  UniqueFd exim_output(ends[1]);

  std::vector<std::string> words{exim};
  words.insert(words.end(), config_args.begin(), config_args.end());
  words.insert(words.end(), std::begin(query_options), std::end(query_options));
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, exim_output.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, exim_output.get(), 2);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, exim.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  exim_output.reset();
  if (spawned != 0) {
    answer.failure = Failure::cannot_run;
    answer.error = spawned;
    return answer;
  }

  answer.failure = read_answer(from_exim.get(), timeout_ms, answer.text);
  if (answer.failure != Failure::none) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (answer.failure == Failure::none && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    answer.failure = Failure::ended_badly;
    answer.status = status;
  }
  return answer;
}

// exim's lines joined into one ("; " between them), blank ones left out,
// cut to a length that fits a log line.
std::string one_line(std::string_view text) {
  constexpr std::size_t longest = 400;
  std::string joined;
  while (!text.empty() && joined.size() < longest) {
    std::size_t end = text.find('\n');
    std::string_view line = trimmed(text.substr(0, end));
    if (!line.empty()) joined.append(joined.empty() ? "" : "; ").append(line);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return joined.substr(0, longest);
}

}  // namespace

Caller current_caller() {
  Caller caller{getuid(), getgid(), {}};
  int count = getgroups(0, nullptr);
  if (count > 0) {
    caller.groups.resize(static_cast<std::size_t>(count));
    count = getgroups(count, caller.groups.data());
    caller.groups.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  }
  return caller;
}

std::string user_name(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::optional<Settings> parse_settings(std::string_view answer) {
  std::optional<std::string> exim_user, trusted_users, trusted_groups;
  while (!answer.empty()) {
    std::size_t end = answer.find('\n');
    std::string_view line = answer.substr(0, end);
    answer.remove_prefix(end == std::string_view::npos ? answer.size() : end + 1);
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view name = trimmed(line.substr(0, equals));
    std::string value(trimmed(line.substr(equals + 1)));
    if (name == "exim_user") exim_user = value;
    if (name == "trusted_users") trusted_users = value;
    if (name == "trusted_groups") trusted_groups = value;
  }
  if (!exim_user || !trusted_users || !trusted_groups) return std::nullopt;
  return Settings{*exim_user, *trusted_users, *trusted_groups};
}

Verdict judge(const Settings& settings, const Caller& caller) {
  if (caller.uid == 0) return Verdict::root;
  if (resolve_user(trimmed(settings.exim_user)) == caller.uid) return Verdict::exim_user;
  if (any_item(settings.trusted_users, [&](std::string_view item) { return resolve_user(item) == caller.uid; }))
    return Verdict::trusted_users;
  auto member = [&](std::string_view item) {
    std::optional<gid_t> gid = resolve_group(item);
    return gid &&
           (*gid == caller.gid || std::find(caller.groups.begin(), caller.groups.end(), *gid) != caller.groups.end());
  };
  if (any_item(settings.trusted_groups, member)) return Verdict::trusted_groups;
  return Verdict::untrusted;
}

const char* describe(Verdict verdict) {
  switch (verdict) {
    case Verdict::root:
      return "root";
    case Verdict::exim_user:
      return "exim's own user";
    case Verdict::trusted_users:
      return "named by trusted_users";
    case Verdict::trusted_groups:
      return "in a group named by trusted_groups";
    case Verdict::untrusted:
      break;
  }
  return "not trusted";
}

Check check(const std::string& exim, const std::vector<std::string>& config_args, const Caller& caller,
            int timeout_ms) {
  Check result;
  if (caller.uid == 0) {
    result.verdict = Verdict::root;
    return result;
  }
  Answer answer = ask(exim, config_args, timeout_ms);
  result.failure = answer.failure;
  result.error = answer.error;
  result.status = answer.status;
  if (result.failure == Failure::none) {
    std::optional<Settings> settings = parse_settings(answer.text);
    if (settings) {
      result.verdict = judge(*settings, caller);
      return result;
    }
    result.failure = Failure::unreadable;
  }
  result.detail = one_line(answer.text);
  return result;
}

}  // namespace exim_trust
