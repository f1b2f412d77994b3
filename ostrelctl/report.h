#pragma once

// `ostrelctl report [--by hour|day] [--json] [--top N] [FILE...]`: reads
// ostrel's decision lines among any other lines of a log (standard input
// without FILE, or for "-") and prints connections per outcome per hour or
// day, the delay of mail that passed, the share of greylisted triples that
// never came back, and the sender domains and networks delayed most.
// Exit status: 0 all read, 1 a file that could not be read or a decision
// line that could not (the report holds the rest), 2 usage error.
int report_command(int argc, char** argv);
