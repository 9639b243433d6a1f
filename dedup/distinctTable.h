// distinctTable.h: the in-memory structures that let a hash list deliver
// each hash once or leave out hashes of other backups without walking
// every hash's references: a one-function bloom filter, a bounded-probe
// distinct table, and the SIS hash table (a detail cache that keeps
// nothing, so every lookup goes to the index).
#pragma once

#include <cstddef>
#include <cstdint>

#include "dedup/metadataRecord.h"

// Key of a hash: the hash ID; a store-assigned ID (bit 62 set, 2^62 plus a
// 256-byte aligned record offset) is shifted right by 8 first, which makes
// those IDs dense.
uint64_t distinctKey(uint64_t hashID);

// Bloom filter owned by a hash list. size 0 = not allocated.
struct bloomFilter {
  uint8_t *bits;
  size_t size;  // bytes
};
constexpr size_t BLOOM_FILTER_BYTES = 10485760;

// Allocates `size` zeroed bytes. 0, or -1 (size left 0) when out of memory.
int createBloomFilter(bloomFilter *bloom, size_t size);
void freeBloomFilter(bloomFilter *bloom);
// 1 when the record's key bit was set already, 0 when it was clear (it is
// set now). A filter without bytes answers 0.
int bloomTestAndSet(bloomFilter *bloom, const HashValue *record);

// Bucket: 8-byte key (0 = empty) and the collision flag, packed to 9 bytes.
constexpr size_t DISTINCT_BUCKET_BYTES = 9;
constexpr uint64_t DISTINCT_MIN_BUCKETS = 4096;
constexpr uint64_t DISTINCT_MAX_PROBES = 4096;

struct distinctTable {
  uint8_t *buckets;      // bucketCount * 9 bytes
  uint64_t bucketCount;
  uint64_t filled;       // keys stored
  uint64_t swaps;        // keys evicted
  uint64_t unknowns;     // inconclusive answers
};

// Makes *table (allocating the record when it is none) with at least 4096
// buckets, reusing an existing table that is large enough. The allocation
// halves its size on failure while it stays >= 4096. 0 / -1.
int createDistinctTable(distinctTable **table, uint64_t suggestedSize);
// 1 seen, 0 new (now stored), 2 inconclusive (an eviction may have removed
// the evidence), -1 bad table.
int distinctLookup(distinctTable *table, uint64_t key);
void clearDistinctTable(distinctTable *table);
void logDistinctTableStats(const distinctTable *table);
// Frees the buckets and the record; *table becomes none.
void freeDistinctTable(distinctTable **table);

// SIS hash table: a handle with no content.
struct SIShashTable {
  int unused;
};
// 1 = not found (always), -1 for a missing argument.
int getSIShashTable(SIShashTable *table, HashValue *record);
// 0 (nothing is stored), -1 for a missing argument.
int putSIShashTable(SIShashTable *table, const HashValue *record);
// 1 = not there, -1 for a missing argument.
int clearSIShashTable(SIShashTable *table, const HashValue *record);
void freeSIShashTable(SIShashTable *table);
