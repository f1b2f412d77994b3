// The admin tool's output: rows as aligned columns or tab-separated, and the
// check that all of it reached standard output.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One line of cells: tab-separated with tsv, else each cell but the last
// padded to its column's width (in bytes, as printf pads) and two blanks.
void print_cells(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths, bool tsv);

// Flushes standard output; false after one line naming the failure.
[[nodiscard]] bool output_written();
