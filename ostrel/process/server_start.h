// The start of the SMTP server program: a child that shares ostrel's memory
// until it execs (clone with CLONE_VM|CLONE_VFORK on a stack of its own), so
// that no page of ostrel is copied for a program that replaces itself at
// once. The parent waits, with every signal blocked, until the child has
// exec'd or ended. The child only rearranges descriptors, gives the stop
// signals back their default dispositions, restores the signal mask and
// execs; if the exec fails it writes the line made ready before the clone,
// "Unable to run %s: %s. Terminating" (level 2), in one write and ends with
// status 100. It writes nothing the parent reads afterwards.
#pragma once

#include <sys/types.h>

// The server's standard input and output, and the parent's ends of the two
// pipes, which the child closes.
struct ServerEnds {
  int input;
  int output;
  int parent_input;
  int parent_output;
};

// Starts argv[0] with argv as its arguments and ostrel's environment. The
// child's pid, or -1 with errno set when no child could be made. errno is
// otherwise as before the call.
pid_t start_server(char** argv, ServerEnds ends);

// strerror's text for errnum as ostrel prints it (it never sets a locale),
// without the allocation strerror makes for an unknown number: "Unknown
// error N" is written into scratch. Async-signal-safe.
const char* error_text(int errnum, char (&scratch)[32]);
