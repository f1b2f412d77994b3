#include "exim_command.h"

#include <string_view>

namespace exim_command {

std::string exim_path(const char* from_environment) {
  return from_environment == nullptr || *from_environment == '\0' ? default_exim : from_environment;
}

std::vector<std::string> session(const std::string& exim, const client_identity::Identity& identity,
                                 std::span<char* const> args) {
  std::vector<std::string> words{exim, "-bs", "-oMa", identity.remote};
  if (!identity.local.empty()) words.insert(words.end(), {"-oMi", identity.local});
  words.insert(words.end(), {"-oMr", "esmtp", "-oMt", ""});
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

std::vector<std::string> configuration_args(std::span<char* const> args) {
  std::vector<std::string> chosen;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg(args[i]);
    if (arg == "-C") {
      chosen.emplace_back(arg);
      if (i + 1 < args.size()) chosen.emplace_back(args[++i]);
    } else if (arg.starts_with("-C") || arg.starts_with("-D")) {
      chosen.emplace_back(arg);
    }
  }
  return chosen;
}

std::vector<char*> argv_of(std::vector<std::string>& words) {
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

}  // namespace exim_command
