// hashValues.h: the daemon's read side of the deduplication index: lists
// of a backup's hashes in file-offset order (optionally each hash once,
// optionally without hashes held by other backups), counts, and completion
// of hash value records from the index.
//
// The index exists in two generations: 0 keeps it in the catalogue tables
// vx.hash_values and vx.backups_hash_values (each list and each value
// lookup on a connection of its own), 1 in the on-disk metadata store.
// Callers do not see the difference.
#pragma once

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>

#include "dedup/distinctTable.h"
#include "dedup/metadata.h"
#include "dedup/metadataRecord.h"

// The metadata generation: 0 unless the platform lists dedupNT, then
// [fileDedup] MetadataGeneration (default 0). Read once per process.
int getMetadataGeneration();
// Drops the cached generation, so the next operation reads it again.
void forgetMetadataGeneration();

// A hash list. Owned by the caller from createHashList to destroyHashList;
// used by one thread at a time.
struct hashListHandle {
  int generation;
  uint64_t backupNo;
  uint64_t *exclusions;  // owned copy
  int exclusionCount;
  int distinct;      // 0 every hashed block, 1 each hash once
  int restart;       // 1 until the first fetch
  HashListEntry *records;  // the caller's array of the current fetch
  long capacity;
  long filled;
  uint64_t lastIndex;  // position of the last hash delivered (generation 1)
  bloomFilter bloom;
  struct distinctTable *distinctTable;
  char cursorName[32];  // "metaLeft%lu" (generation 0)
  int cursorEOF;
  PGconn *conn;                      // generation 0
  metadataPrivate *metadataHandle;   // generation 1
  struct hashValuesPrivate *values;  // detail lookups of generation 0 fetches
};

// Makes *handle for the backup's hashes. exclusions (exclusionCount backup
// numbers) are copied. distinct 1 lists each hash once; in the metadata
// store, a list with exclusions does too (the catalogue's lists every
// occurrence not held by an excluded backup). 0 / -1; an existing *handle
// is left alone (0).
int createHashList(hashListHandle **handle, uint64_t backupNo, const uint64_t *exclusions, int exclusionCount,
                   int distinct);
// Fills up to capacity records in file-offset order. Returns the number
// filled, 0 at the end of the list, -1 on failure or a received signal.
long getHashesFromList(hashListHandle **handle, HashListEntry *records, long capacity);
// Closes cursor, connection, metadata handle, bloom filter and distinct
// table and frees the handle; *handle becomes none.
void destroyHashList(hashListHandle **handle);

// Number of hashes (distinct = 1: distinct hashes) of the backup, or -1.
long countHashesInBackup(uint64_t backupNo, int distinct);

// State of getHashValues: its own catalogue connection and statement
// buffer (generation 0) or metadata handle (generation 1). Made on first
// use; released with freeHashValuesPrivate.
struct hashValuesPrivate;
// Completes each record (known hash ID, or known hash type/length/value)
// from the index, setting the out bits of what it filled. 0 / -1.
int getHashValues(hashValuesPrivate **priv, HashValue *records, int count);
void freeHashValuesPrivate(hashValuesPrivate *priv);

// Deferral of SIGHUP, SIGINT and SIGTERM around list fetches and lookups.
int catchSignals();
int uncatchSignals();
// 1 when a caught signal arrived meanwhile (each logged).
int receivedSignal();
