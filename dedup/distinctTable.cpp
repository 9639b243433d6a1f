// distinctTable.cpp: bloom filter, distinct table and SIS hash table of
// the hash lists.
#include "dedup/distinctTable.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "lib/logger.h"

uint64_t distinctKey(uint64_t hashID) {
  if (hashID & (1ULL << 62)) return hashID >> 8;
  return hashID;
}

int createBloomFilter(bloomFilter *bloom, size_t size) {
  LOG(5, "Create bloom filter; Size:%lu", (unsigned long)size);
  bloom->bits = static_cast<uint8_t *>(calloc(1, size ? size : 1));
  if (!bloom->bits) {
    bloom->size = 0;
    return -1;
  }
  bloom->size = size;
  return 0;
}

void freeBloomFilter(bloomFilter *bloom) {
  if (!bloom) return;
  LOG(5, "Free bloom filter");
  free(bloom->bits);
  bloom->bits = nullptr;
  bloom->size = 0;
}

int bloomTestAndSet(bloomFilter *bloom, const HashValue *record) {
  if (!bloom || !bloom->bits || bloom->size == 0) return 0;
  uint64_t index = distinctKey(record->hashID) % (bloom->size * 8);
  uint8_t mask = uint8_t(1u << (index % 8));
  uint8_t &byte = bloom->bits[index / 8];
  int was = (byte & mask) ? 1 : 0;
  byte |= mask;
  return was;
}

// Bucket accessors: the 9-byte packed layout is read and written bytewise.
static uint64_t bucketKey(const distinctTable *t, uint64_t b) {
  uint64_t k;
  memcpy(&k, t->buckets + b * DISTINCT_BUCKET_BYTES, 8);
  return k;
}
static void setBucketKey(distinctTable *t, uint64_t b, uint64_t k) {
  memcpy(t->buckets + b * DISTINCT_BUCKET_BYTES, &k, 8);
}
static uint8_t &bucketFlag(distinctTable *t, uint64_t b) {
  return t->buckets[b * DISTINCT_BUCKET_BYTES + 8];
}
static uint64_t homeBucket(const distinctTable *t, uint64_t key) {
  return (key * 65537ULL) % t->bucketCount;
}

int createDistinctTable(distinctTable **table, uint64_t suggestedSize) {
  uint64_t size = suggestedSize > DISTINCT_MIN_BUCKETS ? suggestedSize : DISTINCT_MIN_BUCKETS;
  if (*table && (*table)->buckets && (*table)->bucketCount >= size) {
    clearDistinctTable(*table);
    return 0;
  }
  if (*table) {
    free((*table)->buckets);
    (*table)->buckets = nullptr;
    (*table)->bucketCount = 0;
  } else {
    *table = static_cast<distinctTable *>(calloc(1, sizeof(distinctTable)));
    if (!*table) {
      LOG(0, "Can't allocate space for distinct table private.");
      return -1;
    }
  }
  distinctTable *t = *table;
  uint64_t tryBuckets = size;
  while (tryBuckets >= DISTINCT_MIN_BUCKETS) {
    t->buckets = static_cast<uint8_t *>(calloc(tryBuckets, DISTINCT_BUCKET_BYTES));
    if (t->buckets) break;
    tryBuckets /= 2;
  }
  if (!t->buckets) {
    LOG(0, "Can't allocate space for distinct table.");
    return -1;
  }
  t->bucketCount = tryBuckets;
  t->filled = t->swaps = t->unknowns = 0;
  if (tryBuckets < size)
    LOG(0, "Warning: actual table size %lu is smaller than suggested size %lu",
        (unsigned long)tryBuckets, (unsigned long)size);
  LOG(0, "Created distinct table of %lu buckets.", (unsigned long)tryBuckets);
  return 0;
}

// An inconclusive answer: counted and logged.
static int inconclusive(distinctTable *t, uint64_t home, uint64_t key) {
  t->unknowns++;
  LOG(5, "Past collisions at bucket %lu with key %lu with table %lf%% full", (unsigned long)home,
      (unsigned long)key, double(t->filled) / double(t->bucketCount) * 100.0);
  return 2;
}

int distinctLookup(distinctTable *table, uint64_t key) {
  if (!table) {
    LOG(0, "Bad argument %p", (void *)table);
    return -1;
  }
  if (!table->buckets || table->bucketCount == 0) {
    LOG(0, "Uninitialized distinct table.");
    return -1;
  }
  uint64_t home = homeBucket(table, key);
  uint64_t probes = table->bucketCount < DISTINCT_MAX_PROBES ? table->bucketCount : DISTINCT_MAX_PROBES;
  for (uint64_t i = 0; i < probes; i++) {
    uint64_t b = (home + i) % table->bucketCount;
    uint64_t k = bucketKey(table, b);
    if (k == key) return 1;
    if (k == 0) {
      setBucketKey(table, b, key);
      table->filled++;
      return bucketFlag(table, home) ? inconclusive(table, home, key) : 0;
    }
  }
  int answer = bucketFlag(table, home) ? inconclusive(table, home, key) : 0;
  // Evict the home bucket's key; its own home remembers that a key living
  // there was lost, so later misses for keys of that home are inconclusive.
  uint64_t evicted = bucketKey(table, home);
  bucketFlag(table, homeBucket(table, evicted)) = 1;
  setBucketKey(table, home, key);
  table->swaps++;
  return answer;
}

void clearDistinctTable(distinctTable *table) {
  if (!table) return;
  if (table->buckets) memset(table->buckets, 0, table->bucketCount * DISTINCT_BUCKET_BYTES);
  table->filled = table->swaps = table->unknowns = 0;
}

void logDistinctTableStats(const distinctTable *table) {
  if (!table || table->bucketCount == 0) return;
  LOG(0, "Distinct table stats: %lu/%lu*100 = %.2lf%% full, %lu swaps, %lu unknowns.",
      (unsigned long)table->filled, (unsigned long)table->bucketCount,
      double(table->filled) / double(table->bucketCount) * 100.0, (unsigned long)table->swaps,
      (unsigned long)table->unknowns);
}

void freeDistinctTable(distinctTable **table) {
  if (!table || !*table) return;
  free((*table)->buckets);
  free(*table);
  *table = nullptr;
}

int getSIShashTable(SIShashTable *table, HashValue *record) {
  if (!table || !record) {
    LOG(0, "NULL argument to %s()", __func__);
    return -1;
  }
  return 1;
}

int putSIShashTable(SIShashTable *table, const HashValue *record) {
  if (!table || !record) {
    LOG(0, "NULL argument to %s()", __func__);
    return -1;
  }
  return 0;
}

int clearSIShashTable(SIShashTable *table, const HashValue *record) {
  if (!table || !record) {
    LOG(0, "NULL argument to %s()", __func__);
    return -1;
  }
  return 1;
}

void freeSIShashTable(SIShashTable *table) {
  if (!table) LOG(0, "NULL argument to %s()", __func__);
}
