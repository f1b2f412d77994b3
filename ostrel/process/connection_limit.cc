#include "connection_limit.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "connection_slots.h"
#include "exit_status.h"
#include "log.h"
#include "signals.h"
#include "state.h"

unsigned connection_limit_from_env() {
  const char* value = std::getenv("GREYLIST_MAXCONN");
  if (value == nullptr) return 0;
  std::optional<unsigned> limit = parse_connection_limit(value);
  if (!limit) {
    log_msg(2, "GREYLIST_MAXCONN must be a number from 1 to %u, not '%s'. Terminating.", most_connections_per_client,
            value);
    std::exit(exit_status::gave_up);
  }
  return *limit;
}

void hold_connection_slot(unsigned limit) {
  const char* directory = std::getenv("GREYLIST_RUNDIR");
  if (directory == nullptr) directory = default_run_directory;
  SlotTaken taken = SlotTaken::failed;
  errno = ENOENT;  // an empty name is no directory
  if (*directory != '\0') taken = take_connection_slot(directory, client_metainfo.key, limit);
  if (taken == SlotTaken::taken) return;
  if (taken == SlotTaken::failed) {
    log_msg(2, "Can't keep connection slots in GREYLIST_RUNDIR '%s': %s. Terminating.", directory, strerror(errno));
    std::exit(exit_status::gave_up);
  }
  log_msg(5, "Client '%s' has %u connections open already, the limit of GREYLIST_MAXCONN: answering 421.",
          client_metainfo.addr, limit);
  block_stop_signals();  // a client that has gone already: the write fails, no signal
  char reply[text_buffer_size];
  int len = std::snprintf(reply, sizeof reply, "421 4.7.0 %s Too many connections from your host, try again later\r\n",
                          local_hostname);
  if (len > 0) (void)!write(client_out, reply, std::min(static_cast<std::size_t>(len), sizeof reply - 1));
  std::exit(exit_status::orderly);
}
