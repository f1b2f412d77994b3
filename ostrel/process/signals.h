// SIGALRM (the 480-second limit) and SIGPIPE end ostrel with status 100 and
// one line: "Big timeout reached from '%s'!" (4) or "Client '%s' closed
// connection prematurely." (6).
//
// A signal that arrives while the process waits in watched_poll wakes the
// wait through a self-pipe, and the process ends through the normal exit
// path, exit handler included. Anywhere else (inside SQLite and its busy
// handler's pause, in a write, in the C library) the handler ends the
// process itself, with async-signal-safe calls only: the line, the end of
// the server's input, the short wait for the server program, _exit(100).
// The database is left to the kernel then, which releases its locks.
#pragma once

#include <poll.h>

#include <csignal>

// Makes the self-pipe and installs the handler for both signals.
void install_stop_signals();

// Right before ostrel replaces itself with the server program: cancels the
// alarm and gives both signals their default dispositions, so that the
// server program's own limits govern.
void release_stop_signals();

// In the server program's child before it execs: both signals get their
// default dispositions, so no handler of ostrel runs in it. Only
// sigaction: safe in a child that shares ostrel's memory.
void default_stop_signals();

// On the way out: a signal that comes now changes nothing.
void block_stop_signals();

// poll on at most two entries, also woken by the signals; a signal ends
// the process (100) instead of returning. Otherwise as poll.
int watched_poll(pollfd* entries, nfds_t count, int timeout_ms);

// Held around a write to the client in a relay, so that a client that has
// hung up shows as a failed write (EPIPE) rather than as SIGPIPE: the relay
// takes that as the orderly end it is. The signal is held while the guard
// lives; the one the write raised is taken back by client_hung_up(). A
// SIGPIPE sent from elsewhere meanwhile is delivered when the guard ends,
// and ends the process as anywhere else.
class ClientWriteGuard {
 public:
  ClientWriteGuard();
  ~ClientWriteGuard();
  ClientWriteGuard(const ClientWriteGuard&) = delete;
  ClientWriteGuard& operator=(const ClientWriteGuard&) = delete;

  // The write failed because the client hung up: its SIGPIPE, if it
  // raised one, is discarded.
  void client_hung_up();

 private:
  sigset_t saved_{};
};
