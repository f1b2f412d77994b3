#include "table_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void print_cells(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths, bool tsv) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (tsv)
      std::printf("%s%s", i ? "\t" : "", cells[i].c_str());
    else
      std::printf(i + 1 < cells.size() ? "%-*s  " : "%-*s", static_cast<int>(i + 1 < cells.size() ? widths[i] : 0),
                  cells[i].c_str());
  }
  std::printf("\n");
}

bool output_written() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  std::fprintf(stderr, "ostrelctl: cannot write the output: %s\n", std::strerror(errno));
  return false;
}
