#pragma once

// `ostrelctl check-rules FILE [facts]`: shows how ostrel reads each line of
// a suspicion file, warns about lines that are probably not what their
// author meant and, given facts about a client, evaluates the file.
// Exit status: 0 no faulty line, 1 some faulty line, 2 usage error.
int check_rules_command(int argc, char** argv);
