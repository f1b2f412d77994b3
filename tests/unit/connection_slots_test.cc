#include "connection_slots.h"

#include <gtest/gtest.h>

#include <string>

// A slot file is named after the key only when that cannot name another
// directory or file than the key's own.
TEST(ConnectionSlots, FilesAreNamedAfterTheKeyOrItsHash) {
  EXPECT_EQ(slot_file_name("2001:db8::1", 12), "2001:db8::1.slot12");
  EXPECT_EQ(slot_file_name("192.0.2.0/24", 3), "192.0.2.0_24.slot3");
  const std::string too_long(65, '1');
  for (const char* key : {"../../etc/passwd", "192.0.2.0_24", "", too_long.c_str()})
    EXPECT_EQ(slot_file_name(key, 1).rfind("key-", 0), 0u) << key;
  EXPECT_NE(slot_file_name("a b", 1), slot_file_name("a c", 1));
}
