// common.h: the in-memory identity of one block and its text forms.
//
// A backup is replicated block by block; each block is known by its hash.
// This header holds the hash value record that carries a block's identity
// through the send pipeline, the hash list entry built on it, the block
// name ("b-<type>-<length>-<hex>") and hexadecimal helpers, the tuple hash
// by which the Vault locks a block, and small catalogue lookups about a
// backup that the worker and the senders share.
//
// It is a leaf header: it includes nothing of the project, so any
// subsystem may include it.
#pragma once

#include <cstddef>
#include <cstdint>

// Flag bits of HashValue::flags. An "in" bit says the field was given as a
// lookup key, an "out" bit that a lookup filled it. When a lookup has filled
// a record each "in" bit that was set is replaced by its "out" bit.
enum : uint8_t {
  hashID_in = 1,
  SISoffset_in = 2,
  locationID_in = 4,
  hashValue_in = 8,  // hashType + hashedLength + hashValue form the key
  hashID_out = 16,
  SISoffset_out = 32,
  locationID_out = 64,
  hashValue_out = 128,
};

constexpr size_t HASH_TYPE_SIZE = 8;    // bytes of HashValue::hashType
constexpr size_t HASH_VALUE_SIZE = 64;  // bytes of HashValue::hashValue
// Longest block name: "b-" + 8 + "-" + 20 digits + "-" + 128 hex + NUL.
constexpr size_t BLOCK_NAME_MAX = 2 + HASH_TYPE_SIZE + 1 + 20 + 1 + 2 * HASH_VALUE_SIZE + 1;

// Hash value record: the identity of one block.
struct HashValue {
  uint8_t flags;              // hashID_in ... hashValue_out
  uint64_t hashID;            // row key of the hash in the deduplication index
  uint64_t hashedLength;      // bytes of uncompressed block data
  uint64_t compressedLength;  // stored length in the single instance store
  uint64_t SISoffset;         // offset of the data in the single instance store
  uint64_t locationID;        // location of the data as the index records it
  char hashType[HASH_TYPE_SIZE];       // e.g. "sha512"; NUL-terminated when shorter
  uint8_t hashValue[HASH_VALUE_SIZE];  // digest, left-aligned, zero-padded
};

// Where one occurrence of a block lies: backup and byte offset in its data
// stream. The file offset orders a backup's blocks.
struct BlockLocation {
  uint64_t backupNo;
  uint64_t fileOffset;
};

// One entry of a hash list batch. The reference part (occurrence word and
// flag word) belongs to the deduplication index; the send pipeline reads
// only the record's hashID, hashedLength, SISoffset, hashType, hashValue and
// the location's file offset.
struct HashListEntry {
  HashValue value;
  BlockLocation location;
  uint64_t refOccurrence;
  uint64_t refFlags;
};

// One slot of a sender's send table: where a block's data lies in the
// block buffer; length 0 means "not to be sent".
struct SendTableSlot {
  uint8_t *data;
  uint64_t length;
};

// Digest length of a hash type name: 64 for "sha512", 0 for anything else.
size_t hashDigestLength(const char *hashType);

// Writes the block name "b-%s-%lu-%s" (type, hashed length, 128 upper-case
// hex digits of all 64 hash bytes) into out. 0, or -1 after logging
// "Query too long for buffer" when it does not fit in size bytes.
int blockName(const HashValue *record, char *out, size_t size);

// Parses a block name (also the 3-tuple of the utility commands) into
// record: clears it, fills hashType, hashedLength and hashValue and sets
// hashValue_in. Runs of hyphens count as one separator. 0 or -1 (logged).
// Hash types longer than 8 characters and hash parts longer than 128 hex
// digits or of odd length are refused; shorter hash parts fill the front of
// hashValue and leave the rest zero.
int parseBlockName(const char *text, HashValue *record);

// Returns a malloc'ed NUL-terminated upper-case hex rendering of count
// bytes ("%02X" each, no separators); the caller frees it. Null on
// allocation failure.
char *toHex(const uint8_t *bytes, size_t count);

// Decodes hex text (either case) two digits at a time. Returns a malloc'ed
// array of strlen(text)/2 bytes that the caller frees; null for odd-length
// text, a non-hex character or an allocation failure. Empty text yields a
// valid one-byte allocation holding nothing.
uint8_t *fromHex(const char *text);

// Fills out[0..n) with the tuple hash of (record, location): the
// concatenation of the digest bytes, the file offset (8 bytes, host
// order), the hash type's characters and the hashed length (8 bytes, host
// order), each input byte k XORed into out[k % n]. Returns 0, -1 for a null
// argument or n == 0.
int tupleHash(const HashValue *record, const BlockLocation *location, uint8_t *out, size_t n);

// When the process's debug level is at least level, logs the record's
// flags and fields at level 0.
void dumpHashValue(int level, const HashValue *record);

// ---- Backup lookups (catalogue) -------------------------------------------

// Status and properties of a backup. 0, or -1 (logged); when the master.ini
// setting [Replication] failCheckStatus is not 0, -1 without a query.
int checkBackupStatus(uint64_t backupNo, uint64_t *status, uint64_t *properties);
// The backup's type code, or -1.
long getBackupType(uint64_t backupNo);
// Device number of the backup's device, or -1.
long getBackupDevice(uint64_t backupNo);
// total_megs of the backup; 0 when there is no row or the query fails.
uint64_t getBackupMegs(uint64_t backupNo);
// Copies the display name of the backup's type (e.g. "MSSQL Full",
// "Oracle Incr", "Generic Incr") into out. 0, or -1 unless exactly one row.
int getBackupTypeName(uint64_t backupNo, char *out, size_t size);
// Name of a type code; atype fills the "%s Full/Diff/Incr" types (null ->
// "Generic"). Unknown codes give "unknown" and log an error.
void backupTypeName(long btype, const char *atype, char *out, size_t size);
// Starts a progress record (operation "prepare", "replicate" or
// "processing") for backupNo: client name from the catalogue, total bytes
// from total_megs, start time now; stores it with updateProgress. 0 / -1.
struct ProgressRecord;
int startProgress(const char *target, const char *localHost, ProgressRecord *record,
                  const char *operation, const char *typeName, uint64_t backupNo);
// Bytes to reserve for the backup's HaCTAR (mode 1: the whole backup, other
// modes: header and reference estimate). 0 on failure.
uint64_t estimateHactarSize(uint64_t backupNo, int mode);
