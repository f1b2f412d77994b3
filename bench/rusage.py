"""What one run of a program costs: the CPU time and minor page faults of the
process and the children it waited for, with the given bytes on its standard
input."""

import os


def run_once(argv, env, stdin_data, log_fd=None):
    """Runs argv with stdin_data on a pipe, standard output to /dev/null and
    standard error to log_fd (else /dev/null); returns (CPU seconds, minor
    faults, exit code)."""
    read_end, write_end = os.pipe()
    os.write(write_end, stdin_data)
    os.close(write_end)
    devnull = os.open(os.devnull, os.O_WRONLY)
    pid = os.posix_spawn(argv[0], argv, env, file_actions=[(os.POSIX_SPAWN_DUP2, read_end, 0),
                                                           (os.POSIX_SPAWN_DUP2, devnull, 1),
                                                           (os.POSIX_SPAWN_DUP2, devnull if log_fd is None else log_fd, 2)])
    os.close(read_end)
    os.close(devnull)
    _, status, usage = os.wait4(pid, 0)
    return usage.ru_utime + usage.ru_stime, usage.ru_minflt, os.waitstatus_to_exitcode(status)
