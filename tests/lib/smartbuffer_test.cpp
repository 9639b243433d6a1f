// smartbuffer_test.cpp: growth steps, contents and the sticky failure flag
// of the two text buffers.
#include "lib/smartbuffer.h"

#include <gtest/gtest.h>

#include <string>

TEST(heapQueryBuffer, GrowthStepsAndContents) {
  heapQueryBuffer qb;
  ASSERT_EQ(qb.create(), 0);
  EXPECT_EQ(qb.capacity, 2048);
  EXPECT_STREQ(qb.text(), "");


  // Appending 3000 bytes to a new buffer grows it to 8192 bytes; growing on
  // to 10000 bytes in all gives 20480.
  heapQueryBuffer b;
  ASSERT_EQ(b.create(), 0);
  std::string a(3000, 'a');
  ASSERT_EQ(b.append(a.c_str()), 0);
  EXPECT_EQ(b.capacity, 8192);
  std::string c(7000, 'c');
  ASSERT_EQ(b.append(c.c_str(), (int)c.size()), 0);
  EXPECT_EQ(b.capacity, 20480);
  EXPECT_EQ(b.length(), 10000);
  EXPECT_EQ(std::string(b.text()), a + c);

  // Reaching the capacity exactly grows too (room for the NUL):
  // ((2048 + 2048) / 2048) * 4096.
  heapQueryBuffer e;
  ASSERT_EQ(e.create(), 0);
  ASSERT_EQ(e.append(std::string(2047, 'x').c_str()), 0);
  EXPECT_EQ(e.capacity, 2048);
  ASSERT_EQ(e.append("y"), 0);
  EXPECT_EQ(e.capacity, 8192);
  EXPECT_EQ(e.length(), 2048);

  // Partial appends, printf appends and offsets.
  heapQueryBuffer q;
  ASSERT_EQ(q.create(), 0);
  ASSERT_EQ(q.append("SELECT xyz", 7), 0);
  ASSERT_EQ(q.appendf("%s FROM vx.%s WHERE n = %d", "*", "backups", 42), 0);
  EXPECT_STREQ(q.text(), "SELECT * FROM vx.backups WHERE n = 42");
  EXPECT_STREQ(q.pointerAt(7), "* FROM vx.backups WHERE n = 42");
  EXPECT_STREQ(q.pointerAt(q.length()), "");
  EXPECT_EQ(q.pointerAt(q.length() + 1), nullptr);

  // The failure flag is sticky until reset.
  EXPECT_EQ(q.append(nullptr), -1);
  EXPECT_TRUE(q.failed());
  ASSERT_EQ(q.append("more"), 0);
  EXPECT_TRUE(q.failed());
  q.reset();
  EXPECT_FALSE(q.failed());
  EXPECT_EQ(q.length(), 0);
  EXPECT_STREQ(q.text(), "");
  ASSERT_EQ(q.appendf("%05d", 7), 0);
  EXPECT_STREQ(q.text(), "00007");

  // Appending to a buffer that was never created creates it.
  heapQueryBuffer lazy;
  ASSERT_EQ(lazy.append("abc"), 0);
  EXPECT_EQ(lazy.capacity, 2048);
  EXPECT_STREQ(lazy.text(), "abc");
}

TEST(smartBuffer, InlineUntilFullThenHeap) {
  smartBuffer sb;
  sb.init();
  std::string a(2046, 'a');
  ASSERT_EQ(sb.append(a.c_str()), 0);
  EXPECT_TRUE(sb.isInline());
  EXPECT_EQ(std::string(sb.text()), a);
  // One more character moves it to a 4096-byte heap area.
  ASSERT_EQ(sb.append("b"), 0);
  EXPECT_FALSE(sb.isInline());
  EXPECT_EQ(sb.heapCapacity, 4096);
  EXPECT_EQ(std::string(sb.text()), a + "b");
  // Reaching the heap capacity grows it to (4096 + 2048) / 2048 * 2048 + 2048.
  ASSERT_EQ(sb.append(std::string(2048, 'c').c_str()), 0);
  EXPECT_EQ(sb.length(), 4095);
  EXPECT_EQ(sb.heapCapacity, 4096);
  ASSERT_EQ(sb.append("d"), 0);
  EXPECT_EQ(sb.heapCapacity, 8192);
  EXPECT_EQ(std::string(sb.text()), a + "b" + std::string(2048, 'c') + "d");
  // Shrinking never happens: short texts stay on the heap.
  EXPECT_STREQ(sb.pointerAt(4095), "d");
  EXPECT_EQ(sb.pointerAt(4097), nullptr);

  // A single large append goes straight to the heap with the formula.
  smartBuffer big;
  big.init();
  ASSERT_EQ(big.appendf("%s|%d", std::string(9000, 'z').c_str(), 12), 0);
  EXPECT_EQ(big.length(), 9003);
  EXPECT_EQ(big.heapCapacity, (9003 + 2048) / 2048 * 2048 + 2048);
  EXPECT_EQ(std::string(big.text()).substr(9000), "|12");

  // init() releases the heap part and starts again inline; failures stick.
  big.init();
  EXPECT_TRUE(big.isInline());
  EXPECT_EQ(big.length(), 0);
  EXPECT_EQ(big.append(nullptr), -1);
  EXPECT_TRUE(big.failed());
  ASSERT_EQ(big.append("ok"), 0);
  EXPECT_TRUE(big.failed());
  EXPECT_STREQ(big.text(), "ok");
}
