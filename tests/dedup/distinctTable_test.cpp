// Tests of the bloom filter, the distinct table and the SIS hash table.
#include <gtest/gtest.h>

#include "dedup/distinctTable.h"

namespace {
HashValue withID(uint64_t id) {
  HashValue r = {};
  r.hashID = id;
  r.flags = hashID_in;
  return r;
}
}  // namespace

TEST(distinctKey, AssignedIDsAreShiftedToDenseKeys) {
  uint64_t a = (1ULL << 62) | 0x12300, b = (1ULL << 62) | 0x123FF;
  EXPECT_EQ(distinctKey(a), distinctKey(b));
  EXPECT_EQ(((1ULL << 62) | 0x12300) >> 8, distinctKey(a));
  EXPECT_EQ(0x12300u, distinctKey(0x12300));
}

TEST(bloomFilter, TestAndSetAnswersWhetherTheBitWasSet) {
  bloomFilter bloom = {};
  ASSERT_EQ(0, createBloomFilter(&bloom, 1024));
  HashValue r1 = withID(77), r2 = withID(78), alias = withID(77 + 1024 * 8);
  EXPECT_EQ(0, bloomTestAndSet(&bloom, &r1));
  EXPECT_EQ(1, bloomTestAndSet(&bloom, &r1));
  EXPECT_EQ(0, bloomTestAndSet(&bloom, &r2));
  EXPECT_EQ(1, bloomTestAndSet(&bloom, &alias)) << "same bit modulo the filter size";
  EXPECT_EQ(1 << (77 % 8), bloom.bits[77 / 8] & (1 << (77 % 8)));
  freeBloomFilter(&bloom);
  EXPECT_EQ(0u, bloom.size);
  EXPECT_EQ(0, bloomTestAndSet(&bloom, &r1)) << "a filter without bytes knows nothing";
}

TEST(distinctTable, SizesLookupsAndReuse) {
  distinctTable *t = nullptr;
  ASSERT_EQ(0, createDistinctTable(&t, 10));
  EXPECT_EQ(4096u, t->bucketCount);
  EXPECT_EQ(0, distinctLookup(t, 12345));
  EXPECT_EQ(1, distinctLookup(t, 12345));
  EXPECT_EQ(0, distinctLookup(t, 54321));
  EXPECT_EQ(2u, t->filled);
  // Asking again for a size it already has clears and keeps it.
  uint8_t *buckets = t->buckets;
  ASSERT_EQ(0, createDistinctTable(&t, 4000));
  EXPECT_EQ(buckets, t->buckets);
  EXPECT_EQ(0u, t->filled);
  EXPECT_EQ(0, distinctLookup(t, 12345));
  ASSERT_EQ(0, createDistinctTable(&t, 10000));
  EXPECT_EQ(10000u, t->bucketCount);
  EXPECT_EQ(-1, distinctLookup(nullptr, 1));
  freeDistinctTable(&t);
  EXPECT_EQ(nullptr, t);
}

TEST(distinctTable, FullProbeRangeEvictsAndLaterMissesAreInconclusive) {
  distinctTable *t = nullptr;
  ASSERT_EQ(0, createDistinctTable(&t, 4096));
  const uint64_t n = t->bucketCount;
  // Fill every bucket with keys whose homes are their own buckets: key k
  // with (k * 65537) mod n == b.  65537 mod 4096 == 1, so key b+n*j lands
  // on bucket b.
  for (uint64_t b = 0; b < n; b++) ASSERT_EQ(0, distinctLookup(t, b + n));
  EXPECT_EQ(n, t->filled);
  uint64_t evictedKey = 10 + n;  // occupant of bucket 10
  uint64_t newKey = 10 + 2 * n;  // home bucket 10 as well
  EXPECT_EQ(0, distinctLookup(t, newKey)) << "home not marked: a new key";
  EXPECT_EQ(1u, t->swaps);
  EXPECT_EQ(1, distinctLookup(t, newKey));
  // The evicted key's home (bucket 10) is now marked: its miss is unsure.
  EXPECT_EQ(2, distinctLookup(t, evictedKey));
  EXPECT_EQ(1u, t->unknowns);
  // Keys of unmarked homes are still certain.
  EXPECT_EQ(1, distinctLookup(t, 11 + n));
  logDistinctTableStats(t);
  clearDistinctTable(t);
  EXPECT_EQ(0u, t->swaps + t->unknowns + t->filled);
  EXPECT_EQ(0, distinctLookup(t, evictedKey));
  freeDistinctTable(&t);
}

TEST(SIShashTable, KeepsNothing) {
  SIShashTable table = {};
  HashValue r = withID(5);
  EXPECT_EQ(0, putSIShashTable(&table, &r));
  EXPECT_EQ(1, getSIShashTable(&table, &r));
  EXPECT_EQ(1, clearSIShashTable(&table, &r));
  EXPECT_EQ(-1, getSIShashTable(nullptr, &r));
  EXPECT_EQ(-1, putSIShashTable(&table, nullptr));
}
