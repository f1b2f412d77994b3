// The end of the SMTP server program that the parent forked, as every exit
// of the parent meets it: the server's input is closed, then the parent
// waits a short while for the program to end and logs how it ended. Every
// function here is async-signal-safe, since the signal handler ends the
// process through them too.
#pragma once

#include <sys/types.h>

// The longest wait for the server program at exit, in milliseconds.
inline constexpr int server_exit_wait_ms = 30;

// After the fork, in the parent: the program to wait for at exit (a pid
// of -1, from a failed fork, means none).
void note_server_started(pid_t pid);

// Closes the write end of the pipe to the server, if open: the server
// program sees the end of its input.
void close_server_input();

// Waits up to limit_ms for the server program to end, and no longer than
// it takes to end; when it has ended, collects it and logs
// "Child exited (%d) status %d." at level 7. Without a server program,
// collects an ended child if there is one, without waiting.
void collect_server(int limit_ms);
