// Shared by the session fuzz targets: scripted input on a descriptor.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

// Makes fd a pipe's read end holding data, its write end closed.
inline void feed(int fd, const std::string& data) {
  int ends[2];
  if (pipe(ends) != 0) __builtin_trap();
  fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
  if (write(ends[1], data.data(), data.size()) != static_cast<ssize_t>(data.size())) __builtin_trap();
  close(ends[1]);
  dup2(ends[0], fd);
  close(ends[0]);
}
