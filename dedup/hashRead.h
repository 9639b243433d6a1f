// hashRead.h: reading a hashed block's data by hash, the cross-process lock
// per hash ID, and the SHA-512 hash contexts that hash and verify block data.
//
// A block's data lies in the single instance store once it was deduplicated,
// or still in the data file of a backup that contains it. readHashedContents
// finds it in either place (the backup through the deduplication index of
// either generation) and keeps a read-ahead buffer for callers that read a
// block in pieces.
//
// Hash locks are POSIX record locks of one byte at (hash ID & 0x3FFFFFFF) in
// "/dev/shm/.hashLockFile": they serialise work on one hash ID across the
// appliance's processes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "lib/usha.h"
#include "pipeline/common.h"

// Reading handle: made by the first readHashedContents on a none handle,
// released with closeHashedContents. Used by one thread at a time.
struct hashedContentsPrivate;

// Reads up to `length` bytes of the block of `record` from `offset` within
// the block into buffer. A record without a known hash ID (and every record
// when refresh is set) is first completed from the deduplication index.
// Returns the bytes delivered, 0 for a zero length, a record without hash
// ID or an offset at the block's end, or -1 (logged).
ssize_t readHashedContents(hashedContentsPrivate **priv, HashValue *record, void *buffer,
                           int64_t length, int64_t offset, int refresh);
// Releases the read-ahead buffer, the SIS handle, the open backup file and
// its lock, and the value lookup; *priv becomes none. 0, or -1 for none.
int closeHashedContents(hashedContentsPrivate **priv);

// ---- Hash locks ---------------------------------------------------------------

// The lock file's descriptor, opened on first use.
struct hashLockState {
  int fd;
};
// Makes *state (opening the lock file) when it is none. 0 / -1.
int getLockedHashState(hashLockState **state);
// Lock (read lock / write lock) or unlock the byte of every record with
// hashID_in set, stopping at count. The first lock may wait; once one was
// taken in this call a busy byte ends the call with the number of records
// processed so far (the caller releases and retries). Returns the number of
// records processed, or -1 (logged).
int lockHashValuesShared(hashLockState **state, const HashValue *records, int count);
int lockHashValuesExclusive(hashLockState **state, const HashValue *records, int count);
int unlockHashValues(hashLockState **state, const HashValue *records, int count);
// Closes the lock file (releasing this process's hash locks) and frees it.
void freeLockedHashState(hashLockState **state);

// ---- Hash contexts --------------------------------------------------------------

constexpr int HASH_TYPE_SHA512 = SHA512;

struct hashContext {
  int hashType;                        // USHA variant (SHA-512)
  char typeName[HASH_TYPE_SIZE];       // "sha512"
  USHAContext usha;
  uint8_t hashValue[HASH_VALUE_SIZE];  // the digest after hashFromHashContext
};

// Allocates *context on first use and starts a SHA-512 digest. 0 / -1.
int initializeHashContext(hashContext **context);
// Adds data to the digest. 0 / -1.
int addToHashContext(hashContext *context, const void *data, size_t length);
// Finishes the digest into context->hashValue. 0 / -1.
int hashFromHashContext(hashContext *context);
void freeHashContext(hashContext *context);
// Digest size of a record's hash type: 64 for "sha512", 0 when unknown.
int hashSizeOfRecord(const HashValue *record);
