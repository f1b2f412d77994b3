// The command lines ostrel-exim runs: exim's SMTP session with the client's
// identity, and the arguments that choose exim's configuration, for asking
// exim about that configuration.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "client_identity.h"

namespace exim_command {

inline constexpr const char* default_exim = "/usr/sbin/exim4";

// The value of EXIM, or the default when it is unset or empty.
[[nodiscard]] std::string exim_path(const char* from_environment);

// exim -bs -oMa CLIENT [-oMi LOCAL] -oMr esmtp -oMt "" ARGS...: an SMTP
// session on standard input and output for the client named, with the
// caller's own arguments last. The ident is set empty: left out, exim
// would name the local user who runs it as the client's ident.
[[nodiscard]] std::vector<std::string> session(const std::string& exim, const client_identity::Identity& identity,
                                               std::span<char* const> args);

// Those of args that choose the configuration exim reads, in their order:
// -C FILE (or -CFILE) and -DMACRO[=VALUE]. exim's answers about its
// configuration hold for the session only when they are asked with them.
[[nodiscard]] std::vector<std::string> configuration_args(std::span<char* const> args);

// An argument vector for execv over the strings, ending in a null pointer;
// valid while the strings live unchanged.
[[nodiscard]] std::vector<char*> argv_of(std::vector<std::string>& words);

}  // namespace exim_command
