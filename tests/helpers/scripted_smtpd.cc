// A scripted SMTP server program for the tests: plays exact replies on
// standard output and records every line it receives.
//
// Usage: scripted_smtpd SCRIPT. Each line of SCRIPT is one step:
//   greet TEXT   write TEXT (escapes \r \n \0 \\) without reading
//   reply TEXT   read one line, then write TEXT
//   replyn N TEXT  read exactly N bytes (part of a line), then write TEXT
//   late S TEXT  read one line, wait S seconds (as the clock runs for the
//                program, libfaketime's too), then write TEXT
//   read         read one line, write nothing
//   silent       read until the end of input, write nothing
//   sink         read until the end of input
//   blast N      write N bytes of a fixed pattern
//   close        end at once
//   hang         stop reading and writing, until a signal ends the program
// Lines received are appended to the file named by SMTPD_LOG, if set, as
// "C: <line>" with escapes; "sink" appends "SINK <bytes> <checksum>".
// The program ends when its script ends or its input ends.
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

std::FILE* log_file = nullptr;

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == '0' ? '\0' : c;
  }
  return out;
}

void write_all(const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(1, data.data() + done, data.size() - done);
    if (n <= 0) std::exit(3);
    done += static_cast<std::size_t>(n);
  }
}

// Reads exactly count bytes; false at the end of input.
bool read_bytes(std::string& data, std::size_t count) {
  data.clear();
  char c;
  while (data.size() < count) {
    if (read(0, &c, 1) <= 0) return false;
    data += c;
  }
  return true;
}

// Reads one line byte by byte; false at the end of input.
bool read_line(std::string& line) {
  line.clear();
  char c;
  for (;;) {
    ssize_t n = read(0, &c, 1);
    if (n <= 0) return !line.empty();
    line += c;
    if (c == '\n') return true;
  }
}

void record(const std::string& line) {
  if (log_file == nullptr) return;
  std::string shown;
  for (char c : line) {
    if (c == '\r')
      shown += "\\r";
    else if (c == '\n')
      shown += "\\n";
    else if (c == '\0')
      shown += "\\0";
    else
      shown += c;
  }
  std::fprintf(log_file, "C: %s\n", shown.c_str());
  std::fflush(log_file);
}

void sink() {
  char chunk[65536];
  std::uint64_t total = 0;
  std::uint64_t checksum = 0;
  for (;;) {
    ssize_t n = read(0, chunk, sizeof chunk);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) checksum = checksum * 31 + static_cast<unsigned char>(chunk[i]);
    total += static_cast<std::uint64_t>(n);
  }
  if (log_file != nullptr) {
    std::fprintf(log_file, "SINK %llu %llu\n", static_cast<unsigned long long>(total),
                 static_cast<unsigned long long>(checksum));
    std::fflush(log_file);
  }
}

void blast(std::uint64_t count) {
  std::string chunk(65536, '\0');
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('a' + i % 26);
  while (count > 0) {
    std::size_t n = count < chunk.size() ? static_cast<std::size_t>(count) : chunk.size();
    write_all(chunk.substr(0, n));
    count -= n;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: scripted_smtpd SCRIPT\n");
    return 2;
  }
  if (const char* path = std::getenv("SMTPD_LOG")) log_file = std::fopen(path, "a");
  std::ifstream script(argv[1]);
  std::string step;
  std::string line;
  while (std::getline(script, step)) {
    std::string verb = step.substr(0, step.find(' '));
    std::string arg = step.size() > verb.size() ? step.substr(verb.size() + 1) : "";
    if (verb == "greet") {
      write_all(unescape(arg));
    } else if (verb == "reply" || verb == "read") {
      if (!read_line(line)) return 0;
      record(line);
      if (verb == "reply") write_all(unescape(arg));
    } else if (verb == "replyn") {
      std::size_t count = std::strtoul(arg.c_str(), nullptr, 10);
      if (!read_bytes(line, count)) return 0;
      record(line);
      write_all(unescape(arg.substr(arg.find(' ') + 1)));
    } else if (verb == "late") {
      if (!read_line(line)) return 0;
      record(line);
      timespec pause{static_cast<time_t>(std::strtoul(arg.c_str(), nullptr, 10)), 0};
      nanosleep(&pause, nullptr);
      write_all(unescape(arg.substr(arg.find(' ') + 1)));
    } else if (verb == "silent") {
      while (read_line(line)) record(line);
      return 0;
    } else if (verb == "sink") {
      sink();
    } else if (verb == "blast") {
      blast(std::strtoull(arg.c_str(), nullptr, 10));
    } else if (verb == "close") {
      return 0;
    } else if (verb == "hang") {
      for (;;) pause();
    }
  }
  return 0;
}
