#include "connection_slots.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

TEST(ConnectionLimit, OnlyDecimalNumbersInRange) {
  for (auto [text, limit] : std::vector<std::pair<const char*, unsigned>>{{"1", 1}, {"40", 40}, {"1000", 1000}, {"007", 7}})
    EXPECT_EQ(parse_connection_limit(text), limit) << text;
  for (const char* text : {"", "0", "1001", "99999999999999999999", "-1", "+3", " 3", "3 ", "3x", "0x10", "2.5"})
    EXPECT_EQ(parse_connection_limit(text), std::nullopt) << text;
}

TEST(ConnectionLimit, SlotFilesAreNamedAfterTheKeyOrItsHash) {
  EXPECT_EQ(slot_file_name("192.0.2.7", 0), "192.0.2.7.slot0");
  EXPECT_EQ(slot_file_name("2001:db8::1", 12), "2001:db8::1.slot12");
  EXPECT_EQ(slot_file_name("192.0.2.0/24", 3), "192.0.2.0_24.slot3");
  EXPECT_EQ(slot_file_name("..", 1), "...slot1");  // a file of the directory all the same
  // Anything else is a hash: no other directory can be named.
  for (const char* key : {"../../etc/passwd", "192.0.2.0_24", "", "a b"}) {
    std::string name = slot_file_name(key, 1);
    EXPECT_EQ(name.rfind("key-", 0), 0u) << key;
    EXPECT_EQ(name.size(), 4 + 16 + 6u) << key;
  }
  EXPECT_EQ(slot_file_name("a b", 1), slot_file_name("a b", 1));
  EXPECT_NE(slot_file_name("a b", 1), slot_file_name("a c", 1));
  EXPECT_EQ(slot_file_name(std::string(64, 'a'), 0), std::string(64, 'a') + ".slot0");
  EXPECT_EQ(slot_file_name(std::string(65, 'a'), 0).rfind("key-", 0), 0u);
}

// Other connections' slots are locks taken here on files of their own.
TEST(ConnectionLimit, TakesTheFirstFreeSlotAndLeavesNoFileBehind) {
  char pattern[] = "/tmp/ostrel-slots-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  auto path = [&](unsigned slot) { return dir + "/" + slot_file_name("192.0.2.7", slot); };
  auto hold = [&](unsigned slot) {
    int fd = open(path(slot).c_str(), O_RDONLY | O_CREAT, 0600);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    return fd;
  };

  int first = hold(0);
  ASSERT_EQ(take_connection_slot(dir.c_str(), "192.0.2.7", 2), SlotTaken::taken);
  EXPECT_TRUE(fs::exists(path(1)));
  release_connection_slot();
  EXPECT_FALSE(fs::exists(path(1)));
  release_connection_slot();  // twice is harmless

  int second = hold(1);
  EXPECT_EQ(take_connection_slot(dir.c_str(), "192.0.2.7", 2), SlotTaken::all_busy);
  EXPECT_EQ(take_connection_slot(dir.c_str(), "192.0.2.8", 2), SlotTaken::taken);  // another key
  release_connection_slot();
  close(first);  // a holder that ended without removing its file
  ASSERT_EQ(take_connection_slot(dir.c_str(), "192.0.2.7", 2), SlotTaken::taken);
  release_connection_slot();
  EXPECT_FALSE(fs::exists(path(0)));
  close(second);
  unlink(path(1).c_str());
  EXPECT_TRUE(fs::is_empty(dir));

  EXPECT_EQ(take_connection_slot((dir + "/missing").c_str(), "192.0.2.7", 2), SlotTaken::failed);
  EXPECT_EQ(errno, ENOENT);
  fs::remove_all(dir);
}
