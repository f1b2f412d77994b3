#include "command_line.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

int parse_command_line(int argc, char** argv, const char* usage, Accepts accepts, CommandLine& line) {
  enum { DB = 256, IP, TSV, PERMANENT, HELP };
  static const option long_options[] = {
      {"db", required_argument, nullptr, DB}, {"ip", required_argument, nullptr, IP},
      {"tsv", no_argument, nullptr, TSV},     {"permanent", no_argument, nullptr, PERMANENT},
      {"help", no_argument, nullptr, HELP},   {nullptr, 0, nullptr, 0}};
  optind = 1;
  opterr = 1;
  int c;
  while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
    if (c == DB)
      line.db_path = optarg;
    else if (c == IP && accepts.ip)
      line.ip = optarg;
    else if (c == TSV && accepts.tsv)
      line.tsv = true;
    else if (c == PERMANENT && accepts.permanent)
      line.permanent = true;
    else if (c == HELP) {
      std::fputs(usage, stdout);
      return 0;
    } else {
      if (c == IP || c == TSV || c == PERMANENT)
        std::fprintf(stderr, "ostrelctl: %s takes no %s\n", argv[0], argv[optind - 1]);
      std::fputs(usage, stderr);
      return 2;
    }
  }
  for (int i = optind; i < argc; ++i) line.operands.push_back(argv[i]);
  if (line.operands.size() != accepts.operands) {
    std::fputs(usage, stderr);
    return 2;
  }
  return -1;
}

const char* database_location(const CommandLine& line) {
  if (line.db_path != nullptr) return line.db_path;
  const char* env = std::getenv("DBFILE");
  return env != nullptr ? env : default_db_path;
}

bool read_client_key(const char* text, client_address::KeyText& key) {
  using client_address::KeyCheck;
  switch (client_address::check_key(text, key)) {
    case KeyCheck::address:
    case KeyCheck::network:
      return true;
    case KeyCheck::host_bits_set:
      std::fprintf(stderr, "ostrelctl: '%s' has host bits set; the network is %s\n", text, key.data());
      return false;
    case KeyCheck::bad_network:
      break;
    case KeyCheck::not_an_address:
      if (std::strchr(text, '/') != nullptr) break;
      std::fprintf(stderr, "ostrelctl: '%s' is not an IPv4 or IPv6 address\n", text);
      return false;
  }
  std::fprintf(stderr, "ostrelctl: '%s' is not a network ADDRESS/LEN (IPv4 /%u to /%u, IPv6 /%u to /%u)\n", text,
               client_address::ipv4_prefixes.shortest, client_address::ipv4_prefixes.longest,
               client_address::ipv6_prefixes.shortest, client_address::ipv6_prefixes.longest);
  return false;
}

// The lines name an SQLite file by its path; a PostgreSQL store only by the
// name its engine gives, since the URI may name more than it should show.
std::unique_ptr<Store> open_store(const char* location, StoreCreate create) {
  StoreChoice choice = store_for(location);
  if (!choice.store) {
    std::fprintf(stderr, "ostrelctl: cannot open database: %s\n", choice.unsupported.c_str());
    return nullptr;
  }
  Store& store = *choice.store;
  StoreOpening opened = store.open(create);
  if (opened.status == StoreOpen::opened) return std::move(choice.store);
  const char* named = store.location_named_in_errors();
  const char* verb = create == StoreCreate::if_missing && store.creates_missing() ? "create" : "open";
  if (opened.status == StoreOpen::refused)
    std::fprintf(stderr, "ostrelctl: refusing the database: %s\n", opened.error.c_str());
  else if (named != nullptr)
    std::fprintf(stderr, "ostrelctl: cannot %s database '%s': %s\n", verb, named, opened.error.c_str());
  else
    std::fprintf(stderr, "ostrelctl: cannot %s database: %s\n", verb, opened.error.c_str());
  return nullptr;
}

std::unique_ptr<Store> open_existing_store(const char* location) {
  std::unique_ptr<Store> store = open_store(location, StoreCreate::never);
  if (!store) return nullptr;
  TablesCheck tables = store->check_tables();
  switch (tables.status) {
    case TablesCheck::Status::present:
      break;
    case TablesCheck::Status::unreadable:
      std::fprintf(stderr, "ostrelctl: reading the schema failed: %s\n", tables.error.c_str());
      return nullptr;
    case TablesCheck::Status::missing:
      if (const char* named = store->location_named_in_errors())
        std::fprintf(stderr, "ostrelctl: database '%s' has no table '%s' (create it with: ostrelctl init-db %s)\n",
                     named, tables.missing_table, named);
      else
        std::fprintf(stderr, "ostrelctl: %s has no table '%s' (create it with: ostrelctl init-db)\n",
                     store->describe().c_str(), tables.missing_table);
      return nullptr;
  }
  store->tune_for_short_connections();  // the schema is read: no wait
  return store;
}

void report_failure(const char* command, const StoreError& error) {
  std::fprintf(stderr, "ostrelctl: %s failed: %s\n", command, error.text().c_str());
}

std::optional<client_address::KeyPrefixes> read_key_prefixes() {
  client_address::KeyPrefixes prefixes;
  for (auto [name, range, length] : {std::tuple{"GREYLIST_CIDR4", client_address::ipv4_prefixes, &prefixes.ipv4},
                                     std::tuple{"GREYLIST_CIDR6", client_address::ipv6_prefixes, &prefixes.ipv6}}) {
    const char* value = std::getenv(name);
    if (value == nullptr) continue;
    std::optional<unsigned> parsed = client_address::parse_prefix_length(value, range);
    if (!parsed) {
      std::fprintf(stderr, "ostrelctl: %s must be a prefix length from %u to %u, not '%s'\n", name, range.shortest,
                   range.longest, value);
      return std::nullopt;
    }
    *length = *parsed;
  }
  return prefixes;
}

std::optional<CleanupAges> read_cleanup_ages() {
  SettingRead<CleanupAges> ages = cleanup_ages_from_env();
  if (ages.ok()) return ages.value;
  std::fprintf(stderr, "ostrelctl: %s\n", ages.error->c_str());
  return std::nullopt;
}

int start_key_command(int argc, char** argv, const char* usage, client_address::KeyText& key,
                      std::unique_ptr<Store>& store, bool* permanent) {
  CommandLine line;
  Accepts accepts{false, false, 1, permanent != nullptr};
  if (int status = parse_command_line(argc, argv, usage, accepts, line); status >= 0) return status;
  if (permanent != nullptr) *permanent = line.permanent;
  if (!read_client_key(line.operands[0], key)) return 2;
  store = open_existing_store(database_location(line));
  return store ? -1 : 1;
}
