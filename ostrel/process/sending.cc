#include "sending.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "exit_status.h"
#include "line_reader.h"
#include "log.h"
#include "signals.h"
#include "state.h"
#include "write_all.h"

void prepare_for_sending() {
  make_nonblocking(client_out);
  make_nonblocking(pipe_to_server[1]);
  // Fails harmlessly where descriptor 1 is no TCP socket.
  int on = 1;
  (void)setsockopt(client_out, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void send_bounded(int fd, const char* data, std::size_t len) {
  if (write_all(fd, data, len, wait_limit_ms, watched_poll) == len || errno != EAGAIN) return;
  log_msg(6, "Write timeout reached for socket %d, client %s", fd, client_metainfo.addr);
  terminate_process(exit_status::gave_up);
}
