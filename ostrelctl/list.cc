// ostrelctl list: the rows of a table, as aligned columns or tab-separated.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "table_output.h"

namespace {

constexpr const char* usage =
    "usage: ostrelctl list pending|verified [--ip IP|NETWORK] [--tsv] [--db PATH]\n"
    "Lists the rows of a table, oldest first: aligned columns, or tab-separated with --tsv.\n"
    "A NETWORK such as 192.0.2.0/24 selects the rows ostrel keyed on that network; an IP also\n"
    "selects those of the network GREYLIST_CIDR4/6 here put it in. A permanent verified row\n"
    "(allow --permanent) shows `permanent` as its time.\n";

// A permanent verified row's time, as the listing shows it.
constexpr const char* permanent_word = "permanent";

// Prints each row as the store reads it. The widths of the aligned columns
// come from the store's first pass, so a listing holds one row at a time
// however long the table is.
class PrintedRows : public RowSink {
 public:
  PrintedRows(std::vector<std::string> header, bool tsv, std::size_t time_column)
      : header_(std::move(header)), tsv_(tsv), time_column_(time_column) {}

  void widths(const std::vector<std::size_t>& longest) override {
    for (const std::string& title : header_) widths_.push_back(title.size());
    for (std::size_t i = 0; i < widths_.size() && i < longest.size(); ++i)
      widths_[i] = std::max(widths_[i], longest[i]);
    print_cells(header_, widths_, tsv_);
  }
  void row(const std::vector<std::string>& cells) override {
    if (time_column_ < cells.size() && cells[time_column_] == permanent_ts) {
      std::vector<std::string> shown = cells;
      shown[time_column_] = permanent_word;
      print_cells(shown, widths_, tsv_);
      return;
    }
    print_cells(cells, widths_, tsv_);
  }

 private:
  std::vector<std::string> header_;
  bool tsv_;
  std::size_t time_column_;  // of the verified table's ts; past the end for pending
  std::vector<std::size_t> widths_;
};

}  // namespace

int list_command(int argc, char** argv) {
  CommandLine line;
  if (int status = parse_command_line(argc, argv, usage, {true, true, 1}, line); status >= 0) return status;
  std::string table = line.operands[0];
  if (table != "pending" && table != "verified") {
    std::fprintf(stderr, "ostrelctl: list: unknown table '%s' (pending or verified)\n", table.c_str());
    return 2;
  }
  std::vector<std::string> keys;
  if (line.ip != nullptr) {
    client_address::KeyText key{};
    if (!read_client_key(line.ip, key)) return 2;
    std::optional<client_address::KeyPrefixes> prefixes = read_key_prefixes();
    if (!prefixes) return 2;
    keys.emplace_back(key.data());
    // An address: also its network's rows, as ostrel keys it with these settings.
    if (std::optional<client_address::KeyText> network = client_address::client_key(key.data(), *prefixes);
        network && keys[0] != network->data())
      keys.emplace_back(network->data());
  }
  std::unique_ptr<Store> store = open_existing_store(database_location(line));
  if (!store) return 1;
  bool pending = table == "pending";
  PrintedRows printed(
      pending ? std::vector<std::string>{"ip", "sender", "recipient", "first attempt", "last attempt", "attempts"}
              : std::vector<std::string>{"ip", "last seen"},
      line.tsv, pending ? SIZE_MAX : 1);
  StoreResult<> listed = store->list(pending ? Table::pending : Table::verified, keys, !line.tsv, printed);
  if (!listed.ok()) {
    report_failure("list", *listed.error);
    return 1;
  }
  return output_written() ? 0 : 1;
}
