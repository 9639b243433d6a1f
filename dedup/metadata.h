// metadata.h: the on-disk metadata store of the deduplication index.
//
// The store is a set of files in the configured metadata directory: a block
// file of page-sized blocks holding every record (super block, hashed
// backups, hash details, hash reference blocks, SIS reference blocks and
// reference-list blocks), a bitmap of used blocks, three hopscotch hash
// tables (hash ID, hash value, backup number -> record), a crash-marker file
// (the lock shadow) and two lock files. Every process of the appliance that
// hashes, deduplicates, replicates or reads backups shares it; they meet
// through a store-wide flock, POSIX record locks on
// /dev/shm/.metadataBlockLockFile and compare-and-swap on the free map.
//
// The read side (find a backup, walk a backup's hashes in position order,
// walk a hash's references) is what the daemon uses; the write side (add a
// backup, add hash occurrences in or out of order, set SIS offsets, free a
// backup) is what the appliance's hashing program uses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dedup/metadataRecord.h"

struct metadataPrivate;

// ---------------------------------------------------------------------------
// On-disk layout. All integers are 64-bit little-endian; "offset" is a byte
// offset into the block file; -1 (all bits set) means none.
// ---------------------------------------------------------------------------
namespace mdl {
constexpr uint64_t NONE = ~0ULL;
constexpr uint64_t NONE2 = ~0ULL - 1;  // -2: also "no child" / "entry free"
constexpr uint64_t ASSIGNED_ID_BIT = 1ULL << 62;

// Super block (block 0).
constexpr size_t SUPER_SIG = 0;
constexpr size_t SUPER_VERSION = 8;
constexpr size_t SUPER_SIS_ROOT = 16;      // root of the SIS reference tree
constexpr size_t SUPER_SIS_OVERFLOW = 24;  // block receiving out-of-order SIS entries
constexpr size_t SUPER_DETAIL_BLOCK = 32;  // block new hash details are carved from
constexpr size_t SUPER_SPARE = 40;         // carried, unused
constexpr uint64_t SUPER_VERSION_VALUE = 2;
constexpr char SUPER_SIGNATURE[8] = {'#', 'M', 'S', 'u', 'p', 'e', 'r', 0};

// Hashed backup record (128 bytes at the start of its own block).
constexpr size_t BACKUP_RECORD_BYTES = 128;
constexpr size_t BACKUP_SIG = 0;
constexpr size_t BACKUP_NUMBER = 8;
constexpr size_t BACKUP_ROOT = 16;
constexpr size_t BACKUP_OVERFLOW = 24;  // block receiving out-of-order references
constexpr size_t BACKUP_REFCOUNT = 32;
constexpr char BACKUP_SIGNATURE[8] = {'#', 'd', 'B', 'a', 'c', 'k', 'u', 'p'};

// Hash detail record (256 bytes, 16 per 4096-byte block).
constexpr size_t DETAIL_BYTES = 256;
constexpr size_t DETAIL_SIG = 0;
constexpr size_t DETAIL_HASH_ID = 8;
constexpr size_t DETAIL_FIRST_REF = 16;
constexpr size_t DETAIL_SPARE24 = 24;
constexpr size_t DETAIL_SPARE32 = 32;
constexpr size_t DETAIL_COLLISION = 40;
constexpr size_t DETAIL_HASH_TYPE = 48;
constexpr size_t DETAIL_HASHED_LENGTH = 56;
constexpr size_t DETAIL_HASH_VALUE = 64;
constexpr size_t DETAIL_ZERO128 = 128;
constexpr size_t DETAIL_SIS_OFFSET = 136;
constexpr size_t DETAIL_SIS_REF = 144;
constexpr size_t DETAIL_COMPRESSED = 152;
constexpr size_t DETAIL_FLAGS = 168;
constexpr uint64_t DETAIL_FLAG_SIS = 1;
constexpr uint64_t DETAIL_FLAG_FREEING = 4;
constexpr char DETAIL_SIGNATURE[8] = {'h', 'a', 's', 'h', 'D', 't', 'a', 'l'};

// Entries of hash reference and SIS reference blocks (128 bytes each).
constexpr size_t ENTRY_BYTES = 128;
constexpr size_t ENTRY_SIG = 0;
constexpr size_t REF_BACKUP = 8;
constexpr size_t REF_POSITION = 16;
constexpr size_t REF_OCCURRENCE = 32;
constexpr size_t ENTRY_DETAIL = 40;  // both kinds; -1 or -2 = free entry
constexpr size_t REF_NEXT = 56;      // next reference to the same hash
constexpr size_t ENTRY_RING = 72;    // next entry of an out-of-order ring
constexpr size_t ENTRY_FLAGS = 80;
constexpr uint64_t ENTRY_FLAG_RING_HEAD = 1;    // in-tree entry with a ring
constexpr uint64_t ENTRY_FLAG_RING_MEMBER = 2;  // out-of-order entry of a ring
constexpr uint64_t REF_FLAG_DATA_IN_FILE = 4;
constexpr size_t SISREF_SIS_OFFSET = 8;
constexpr size_t SISREF_HASH_ID = 16;
constexpr size_t SISREF_HASHED_LENGTH = 24;
constexpr size_t SISREF_COMPRESSED = 32;
constexpr char HASHREF_SIGNATURE[8] = {'h', 'a', 's', 'h', 'R', 'e', 'f', 0};
constexpr char SISREF_SIGNATURE[8] = {'S', 'I', 'S', '#', 'R', 'e', 'f', 0};

// Reference-list block: interior node of a reference tree.
constexpr size_t REFLIST_SIG = 0;
constexpr size_t REFLIST_FLAGS = 8;  // 1 byte: bit 0 = SIS tree
constexpr size_t REFLIST_ENTRIES = 16;
constexpr size_t REFLIST_ENTRY_BYTES = 16;  // lowest key, child
constexpr char REFLIST_SIGNATURE[8] = {'#', 'R', 'e', 'f', 'L', 'i', 's', 't'};

// Index slots (32 bytes).
constexpr size_t SLOT_BYTES = 32;
constexpr size_t SLOT_KEY = 0;
constexpr size_t SLOT_OFFSET = 8;
constexpr size_t SLOT_FLAGS = 24;
constexpr uint64_t SLOT_IN_USE = 1;
constexpr uint64_t SLOT_RESERVED = 2;

// Lock shadow file.
constexpr size_t SHADOW_BYTES = 32768;
constexpr size_t SHADOW_HIGH_WATER = 0;  // 4 bytes
constexpr size_t SHADOW_VERSION = 4;     // 4 bytes
constexpr uint32_t SHADOW_VERSION_VALUE = 1;
constexpr size_t SHADOW_SLOTS = 64;
constexpr size_t SHADOW_SLOT_BYTES = 64;
constexpr size_t SHADOW_SLOT_COUNT = 511;
constexpr size_t SHADOW_SLOT_PID = 8;
constexpr size_t SHADOW_SLOT_TIME = 16;
constexpr size_t SHADOW_SLOT_CMDLINE = 24;
constexpr size_t SHADOW_CMDLINE_BYTES = 40;

// Block mapping windows.
constexpr uint64_t WINDOW_BLOCKS = 2048;
constexpr uint64_t WINDOW_LEAD_BLOCKS = 1024;

constexpr int MAX_FILE_LOCKS = 12;
}  // namespace mdl

static_assert(mdl::BACKUP_REFCOUNT + 8 + 88 == mdl::BACKUP_RECORD_BYTES, "hashed backup is 128 bytes");
static_assert(mdl::DETAIL_FLAGS + 8 + 80 == mdl::DETAIL_BYTES, "hash detail is 256 bytes");
static_assert(mdl::SHADOW_SLOTS + mdl::SHADOW_SLOT_COUNT * mdl::SHADOW_SLOT_BYTES == mdl::SHADOW_BYTES,
              "lock shadow holds 511 slots after its header");
static_assert(mdl::SHADOW_SLOT_CMDLINE + mdl::SHADOW_CMDLINE_BYTES == mdl::SHADOW_SLOT_BYTES,
              "shadow slot is 64 bytes");

// Little-endian field access on mapped records.
uint64_t mdGet64(const uint8_t *p, size_t off);
void mdPut64(uint8_t *p, size_t off, uint64_t v);

// Decoded hash detail (the fields the index reads and writes).
struct hashDetail {
  uint64_t hashID;
  uint64_t firstRef;
  uint64_t collision;
  char hashType[8];
  uint64_t hashedLength;
  uint8_t hashValue[64];
  uint64_t SISoffset;
  uint64_t SISref;
  uint64_t compressedLength;
  uint64_t flags;
};
void decodeHashDetail(const uint8_t *p, hashDetail *d);
// Writes a complete detail (signature, spare words -1, zero padding).
void encodeHashDetail(uint8_t *p, const hashDetail *d);

// Decoded hashed backup record.
struct hashedBackup {
  uint64_t backupNo;
  uint64_t root;
  uint64_t overflow;
  uint64_t refCount;
};
void decodeHashedBackup(const uint8_t *p, hashedBackup *b);
void encodeHashedBackup(uint8_t *p, const hashedBackup *b);

// Decoded entry of a hash reference block.
struct hashReference {
  uint64_t backupNo;
  uint64_t position;
  uint64_t occurrence;
  uint64_t detail;
  uint64_t next;
  uint64_t ring;
  uint64_t flags;
};
void decodeHashReference(const uint8_t *p, hashReference *r);
void encodeHashReference(uint8_t *p, const hashReference *r);

// ---------------------------------------------------------------------------
// Read side.
// ---------------------------------------------------------------------------

// callback(context, record, inSIS, 0): inSIS is 2 when the hash's data is in
// the SIS, else 0. Returns the lowest position from which the walk is still
// wanted (entries at or after it follow), or -1 to stop. The record is the
// callback's to change: only the SIS offset (with the compressed length) and
// the reference's bit 2 may change; such changes are written back.
typedef int64_t (*metadataCallback)(void *context, HashListEntry *record, int inSIS, int unused);

// Opens a handle: mode 0 shared (the daemon and readers), 4 exclusive and
// waiting, others exclusive without waiting. None on failure (logged).
metadataPrivate *allocateMetadataPrivate(int mode);
// Closes *handle (mode 0 for handles the entry points made; an exclusive
// user ending with mode 3 truncates the lock file) and sets it to none.
void freeMetadataPrivate(metadataPrivate **handle, int mode);

// Offset of the hashed backup record of backupNo, 0 when the backup is not
// in the store, -1 on error. (Offset 0 is the super block, never a backup.)
int64_t findHashedBackup(metadataPrivate **handle, uint64_t backupNo);
// Number of hash references of the backup, 0 when not in the store, -1.
int64_t getHashedBackupReferenceCount(metadataPrivate **handle, uint64_t backupNo);
// Calls back every occurrence of the backup at or after startPosition in
// position order. countOthers > 0 puts the number of references of other
// backups (counted up to countOthers) into the record's locationID. 0 / -1.
int iterateHashesInBackup(metadataPrivate **handle, uint64_t backupNo, uint64_t startPosition,
                          uint64_t countOthers, metadataCallback callback, void *context);
// Finds the record's hash (by hash ID and/or hash value) and calls back every
// reference to it; the record is completed from the hash detail. 0 (also
// when the hash is unknown: no call back) / -1.
int iterateReferencesToHash(metadataPrivate **handle, HashListEntry *record,
                            metadataCallback callback, void *context);

// ---------------------------------------------------------------------------
// Write side.
// ---------------------------------------------------------------------------

// Adds the hashed backup record of backupNo (or finds the existing one).
// Returns its offset, or -1.
int64_t addHashedBackup(metadataPrivate **handle, uint64_t backupNo);
// Adds one occurrence of a block to a backup: record->hv gives the hash
// (hashType, hashedLength, hashValue; optionally hashID with hashID_in and
// SISoffset/compressedLength with SISoffset_in), record->fileOffset the
// position, record->occurrence the occurrence word and record->refFlags bit 2
// whether the data is still in the backup file. The hash detail is found or
// made; positions at or below the backup's last one go into out-of-order
// rings. On return record->hv.hashID holds the hash ID. 0 / -1.
int addHashToBackup(metadataPrivate **handle, uint64_t backupNo, HashListEntry *record);
// Removes a backup with all its references; hashes left without references
// are freed. Its blocks go back to the free map. 0 (also when absent) / -1.
int freeHashedBackup(metadataPrivate **handle, uint64_t backupNo);
// Calls back(context, SIS offset, hash detail offset) for every SIS reference
// in SIS-offset order from startOffset; a negative return stops. 0 / -1.
int iterateSISblocks(metadataPrivate **handle, uint64_t startOffset,
                     int (*callback)(void *context, uint64_t SISoffset, uint64_t detail),
                     void *context);

// ---------------------------------------------------------------------------
// Lower layers, exposed for the write side and the tests.
// ---------------------------------------------------------------------------

enum metadataIndexKind { MD_HASH_ID_INDEX = 0, MD_HASH_VALUE_INDEX = 1, MD_BACKUP_INDEX = 2 };
// Record offset stored under key in an index: 1 found (*offset set), 0 not
// found, -1 error.
int metadataIndexFind(metadataPrivate *h, metadataIndexKind kind, uint64_t key, uint64_t *offset);
// Inserts key -> offset (hopscotch, displacing entries towards their homes).
// 0, or -1 with "The hash table is full!".
int metadataIndexInsert(metadataPrivate *h, metadataIndexKind kind, uint64_t key, uint64_t offset);
// Removes key. 1 removed, 0 absent, -1 error.
int metadataIndexRemove(metadataPrivate *h, metadataIndexKind kind, uint64_t key);
// Byte position (slot * 32) at which key is stored, -1 when absent.
int64_t metadataIndexSlotOf(metadataPrivate *h, metadataIndexKind kind, uint64_t key);
// Home byte position of key in the index.
uint64_t metadataIndexHome(metadataPrivate *h, metadataIndexKind kind, uint64_t key);

// Allocates a block (offset), clearing it. -1 when none.
int64_t getMetadataBlock(metadataPrivate *h);
// Gives a block back. 0 / -1.
int freeMetadataBlock(metadataPrivate *h, uint64_t offset);
// 1 when the free map marks the block in use, 0 when free.
int metadataBlockInUse(metadataPrivate *h, uint64_t offset);
// The memory page size the store uses as block size.
uint64_t metadataBlockSize(const metadataPrivate *h);

// Maps the block holding offset and returns the byte's address, raising the
// count of its window; freeBlockPtr lowers it again. None on failure.
uint8_t *blockOffsetToPtr(metadataPrivate *h, uint64_t offset);
void freeBlockPtr(metadataPrivate *h, const uint8_t *ptr);
// Number of mapped windows and of pointers still handed out.
int metadataMappedWindows(const metadataPrivate *h);
int metadataOutstandingPointers(const metadataPrivate *h);

// File-lock stack of a handle (strictly LIFO, at most 12).
// command: F_SETLK, F_SETLKW or F_GETLK. 0, 1 (busy, F_SETLK) or -1.
int pushFileLock(metadataPrivate *h, int fd, const char *name, int command, struct flock *lock);
int popFileLock(metadataPrivate *h, int fd, struct flock *lock);
int metadataFileLockDepth(const metadataPrivate *h);
int metadataRecordLockFd(metadataPrivate *h);

// Crash markers: with set 0, 1 when a slot names offset, else 0. With set 1:
// 1 when offset is already marked (an unfinished change), else marks it and
// returns 0. -1 on error.
int checkMetadataLockShadow(metadataPrivate *h, uint64_t offset, int set);
int clearMetadataLockShadow(metadataPrivate *h, uint64_t offset);

// Signal deferral of the store's walks (own received set).
int metadataCatchSignals();
int metadataUncatchSignals();
// 1 when a caught signal arrived (and logs "Signal %s received").
int metadataSignalReceived();
