#include "store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "state.h"
#include "store_sqlite.h"

TEST(BusyPause, DoublesFromTenMillisecondsWithJitter) {
  EXPECT_EQ(busy_pause_ms(0, 0), 10u);
  EXPECT_EQ(busy_pause_ms(0, 19), 29u);
  EXPECT_EQ(busy_pause_ms(0, 20), 10u);
  EXPECT_EQ(busy_pause_ms(3, 5), 85u);
  EXPECT_EQ(busy_pause_ms(14, 0), 163840u);
}

TEST(BusyPause, LargeCountsAreCappedWithoutOverflow) {
  EXPECT_EQ(busy_pause_ms(16, 0), 480000u);
  EXPECT_EQ(busy_pause_ms(28, 19), 480000u);
  EXPECT_EQ(busy_pause_ms(30, 2147483647), 480000u);
  EXPECT_EQ(busy_pause_ms(31, 0), 480000u);
}

TEST(AddressCheck, RefusesQuotesAndOverlongAddresses) {
  EXPECT_TRUE(address_fits_statements("192.0.2.1"));
  EXPECT_TRUE(address_fits_statements("2001:db8::1"));
  EXPECT_TRUE(address_fits_statements(""));
  EXPECT_FALSE(address_fits_statements("1.2.3.4' OR '1'='1"));
  EXPECT_TRUE(address_fits_statements(std::string(966, '1').c_str()));
  EXPECT_FALSE(address_fits_statements(std::string(967, '1').c_str()));
}

TEST(RowCallback, VerifiedRowSetsTheResult) {
  sqlret result{QUERY_ADDRINVERIFIED, {0}};
  char ip[] = "192.0.2.1";
  char* argv[] = {ip};
  EXPECT_EQ(sqcallback(&result, 1, argv, nullptr), 0);
  EXPECT_EQ(result.types.intval, 1);
  char* null_argv[] = {nullptr};
  EXPECT_EQ(sqcallback(&result, 1, null_argv, nullptr), 0);
}

TEST(RowCallback, PendingRowFillsTheRowAndMissingValuesCountAsZero) {
  client_metainfo = ClientMetainfo{};
  sqlret result{QUERY_DELIVERYATTEMPTED, {0}};
  EXPECT_FALSE(result.pending.found);
  char interval[] = "4294967301";  // kept modulo 2^32
  char attempts[] = "3";
  char* argv[] = {interval, attempts};
  EXPECT_EQ(sqcallback(&result, 2, argv, nullptr), 0);
  EXPECT_TRUE(result.pending.found);
  EXPECT_EQ(result.pending.attempts, 3u);
  EXPECT_EQ(result.pending.interval, 5u);
  EXPECT_EQ(result.types.intval, 0);
  // The store leaves the connection's facts to the decision.
  EXPECT_EQ(client_metainfo.numattempts, 0u);
  EXPECT_EQ(client_metainfo.validity, 0u);

  char empty[] = "";
  char* broken[] = {nullptr, empty};
  EXPECT_EQ(sqcallback(&result, 2, broken, nullptr), 0);
  EXPECT_EQ(result.pending.attempts, 0u);
  EXPECT_EQ(result.pending.interval, 0u);
}

TEST(RowCallback, UnknownQueryTypeAbortsTheStatement) {
  sqlret result{7, {0}};
  EXPECT_NE(sqcallback(&result, 0, nullptr, nullptr), 0);
}

namespace {

class ScratchDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/store-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/greylist.db";
    store_ = std::make_unique<SqliteStore>(path_);
  }
  void TearDown() override {
    store_->close();
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((path_ + suffix).c_str());
    rmdir(dir_.c_str());
  }

  void create(const char* journal_mode) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    std::string sql =
        std::string("PRAGMA journal_mode=") + journal_mode + "; CREATE TABLE verified (ip TEXT, ts TEXT);";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }

  StoreOpen open(StoreCreate create = StoreCreate::if_missing) {
    StoreOpening opened = store_->open(create);
    error_ = opened.error;
    return opened.status;
  }

  sqlite3* store_handle() const { return store_->handle(); }

  int synchronous_setting() const {
    int value = -1;
    auto record = [](void* out, int, char** argv, char**) {
      *static_cast<int*>(out) = std::atoi(argv[0]);
      return 0;
    };
    sqlite3_exec(store_handle(), "PRAGMA synchronous", record, &value, nullptr);
    return value;
  }

  long long journal_size_limit() const {
    long long value = 0;
    auto record = [](void* out, int, char** argv, char**) {
      *static_cast<long long*>(out) = std::atoll(argv[0]);
      return 0;
    };
    sqlite3_exec(store_handle(), "PRAGMA journal_size_limit", record, &value, nullptr);
    return value;
  }

  off_t size(const char* suffix) const {
    struct stat info {};
    return stat((path_ + suffix).c_str(), &info) == 0 ? info.st_size : -1;
  }

  bool exists(const char* suffix) const {
    struct stat info {};
    return stat((path_ + suffix).c_str(), &info) == 0;
  }

  std::string dir_;
  std::string path_;
  std::unique_ptr<SqliteStore> store_;
  std::string error_;
};

}  // namespace

TEST_F(ScratchDatabase, WalDatabaseCommitsWithoutSyncAndIsNotCheckpointedOnClose) {
  create("WAL");
  ASSERT_EQ(open(), StoreOpen::opened);
  store_->tune_for_short_connections();
  EXPECT_EQ(synchronous_setting(), 1);  // NORMAL
  EXPECT_EQ(sqlite3_exec(store_handle(), "INSERT INTO verified VALUES ('192.0.2.1', 'now')", nullptr, nullptr, nullptr),
            SQLITE_OK);
  store_->close();
  EXPECT_TRUE(exists("-wal"));  // the last one to close left the log in place

  ASSERT_EQ(open(), StoreOpen::opened);
  sqlret result{QUERY_ADDRINVERIFIED, {0}};
  EXPECT_EQ(sqlite3_exec(store_handle(), "SELECT ip FROM verified", sqcallback, &result, nullptr), SQLITE_OK);
  EXPECT_EQ(result.types.intval, 1);
}

TEST_F(ScratchDatabase, OtherJournalModesKeepSQLiteDefaults) {
  create("DELETE");
  ASSERT_EQ(open(), StoreOpen::opened);
  store_->tune_for_short_connections();
  EXPECT_EQ(synchronous_setting(), 2);  // FULL
  EXPECT_EQ(journal_size_limit(), -1);  // no limit
}

// A reader that stays keeps checkpoints from completing, so the log grows
// past its usual size; once the reader is gone, the log is cut back.
TEST_F(ScratchDatabase, LogGrownBehindALongReaderIsCutBackAfterACheckpoint) {
  constexpr off_t limit = 4 * 1024 * 1024;
  create("WAL");
  ASSERT_EQ(open(), StoreOpen::opened);
  store_->tune_for_short_connections();
  EXPECT_EQ(journal_size_limit(), limit);

  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &reader), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM verified", nullptr, nullptr, nullptr), SQLITE_OK);
  const std::string insert = "INSERT INTO verified VALUES (hex(randomblob(2000)), 'now')";
  for (int i = 0; i < 1500; ++i)
    ASSERT_EQ(sqlite3_exec(store_handle(), insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_GT(size("-wal"), 2 * limit);

  ASSERT_EQ(sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(reader);
  // The next commit checkpoints the whole log; the one after starts the log
  // over and cuts the file.
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(sqlite3_exec(store_handle(), insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_LE(size("-wal"), limit);
}

TEST_F(ScratchDatabase, AMissingFileIsCreatedOnlyWhenAsked) {
  EXPECT_EQ(open(StoreCreate::never), StoreOpen::failed);
  EXPECT_EQ(error_, "unable to open database file");
  EXPECT_EQ(store_handle(), nullptr);
  EXPECT_FALSE(exists(""));
  ASSERT_EQ(open(StoreCreate::if_missing), StoreOpen::opened);
  EXPECT_TRUE(exists(""));
  EXPECT_FALSE(store_->in_wal_mode());  // a new file keeps SQLite's rollback journal
}

TEST(Ages, TheCleanupsAgesAsSql) {
  EXPECT_EQ(hours_ago_sql(pending_max_age_hours), "DATETIME('now', '-18 hours')");
  EXPECT_EQ(hours_ago_sql(verified_max_age_hours), "DATETIME('now', '-480 hours')");
}

TEST(Location, OnlyPostgresUrisSelectPostgres) {
  EXPECT_TRUE(is_postgres_location("postgresql:///ostrel?host=/run/postgresql"));
  EXPECT_TRUE(is_postgres_location("postgres://db.example/ostrel"));
  EXPECT_TRUE(is_postgres_location("postgresql:///?service=greylist"));
  EXPECT_FALSE(is_postgres_location("/var/db/ostrel/ostrel.db"));
  EXPECT_FALSE(is_postgres_location("postgresql.db"));
  EXPECT_FALSE(is_postgres_location("POSTGRESQL://x/y"));  // libpq knows only the lower-case schemes
  EXPECT_FALSE(is_postgres_location("file:postgresql://x"));
  EXPECT_FALSE(is_postgres_location(""));
}

namespace {

// Opens the store at location as ostrel does; its name for people after.
StoreOpening open_at(const char* location, std::string* name = nullptr) {
  StoreChoice choice = store_for(location);
  StoreOpening opened = choice.store->open(StoreCreate::if_missing);
  if (name != nullptr) *name = choice.store->describe();
  return opened;
}

}  // namespace

TEST(Location, PasswordInAPostgresUriIsRefusedBeforeAnyConnection) {
  for (const char* uri : {"postgresql://ostrel:secret@/ostrel?host=/nonexistent",
                          "postgresql:///ostrel?host=/nonexistent&password=secret",
                          "postgres:///ostrel?sslpassword=secret&host=/nonexistent"}) {
    std::string name;
    StoreOpening opened = open_at(uri, &name);
    EXPECT_EQ(opened.status, StoreOpen::refused) << uri;
    EXPECT_EQ(opened.error.find("secret"), std::string::npos);
    EXPECT_EQ(name, "PostgreSQL database");  // the name of a store with no connection
  }
  StoreOpening unparsable = open_at("postgresql://[::1/ostrel?x=secret");
  EXPECT_EQ(unparsable.status, StoreOpen::failed);
  EXPECT_EQ(unparsable.error, "the PostgreSQL URI does not parse");
  StoreOpening nobody = open_at("postgresql:///ostrel?host=/nonexistent&user=nobody");
  EXPECT_EQ(nobody.status, StoreOpen::failed);
  EXPECT_EQ(nobody.error.rfind("PostgreSQL database 'ostrel' on '/nonexistent': ", 0), 0u) << nobody.error;
  EXPECT_EQ(nobody.error.find('\n'), std::string::npos);
}

TEST(StatementText, EveryValueGoesInQuotedWithItsQuotesDoubled) {
  StatementText text;
  // What ostrel places (addresses, network keys, envelope addresses) holds
  // no quote: the statement is the one it always was.
  EXPECT_EQ(text.fill("DELETE FROM pending WHERE ip=? AND envsender=? AND envrecipient=?",
                      {"2001:db8::/64", "", "a-b&c*d+e./f=g?h^i_j{k}l~m@example.org"}),
            119u);
  EXPECT_STREQ(text.c_str(),
               "DELETE FROM pending WHERE ip='2001:db8::/64' AND envsender='' AND "
               "envrecipient='a-b&c*d+e./f=g?h^i_j{k}l~m@example.org'");
  // Any other value cannot end its quotes early.
  (void)text.fill("DELETE FROM pending WHERE ip=?", {"1.2.3.4' OR '1'='1"});
  EXPECT_STREQ(text.c_str(), "DELETE FROM pending WHERE ip='1.2.3.4'' OR ''1''=''1'");
  EXPECT_EQ(sql_quoted("'"), "''''");
  // The doubled quotes count toward the length; a statement of 1024 is cut.
  EXPECT_EQ(text.fill("?", {std::string(1021, 'x')}), 1023u);
  EXPECT_EQ(text.fill("?", {std::string(1020, 'x') + "'"}), 1024u);
  EXPECT_EQ(std::strlen(text.c_str()), 1023u);
}

TEST_F(ScratchDatabase, AValueWithAQuoteIsStoredAsItIs) {
  ASSERT_EQ(open(), StoreOpen::opened);
  ASSERT_EQ(
      sqlite3_exec(store_handle(),
                   "CREATE TABLE pending (ip, envsender, envrecipient, tsfirstdelivery, tslastdelivery, attempts)",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  const Triple triple{"192.0.2.1", "o'brien@example.org", "x@example.net"};
  ASSERT_TRUE(store_->record_new_attempt(triple).ok());
  StoreResult<PendingRow> row = store_->lookup_pending(triple);
  ASSERT_TRUE(row.ok());
  EXPECT_TRUE(row.value.found);
  EXPECT_EQ(row.value.attempts, 1u);
}
