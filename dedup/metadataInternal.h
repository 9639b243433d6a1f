// metadataInternal.h: the metadata store handle and the helpers that the
// store's files (core, read side, write side) share. Not for other modules.
#pragma once

#include <fcntl.h>

#include <string>
#include <vector>

#include "dedup/metadata.h"

// One open index file.
struct metadataIndex {
  int fd = -1;
  uint64_t size = 0;     // file size in bytes (slots * 32)
  uint8_t *map = nullptr;  // whole file, shared
  int locksHeld = 0;       // 0, 1, or 2 for a neighborhood that wraps
  struct flock locks[2];
};

// One mapped window of the block file.
struct blockWindow {
  uint64_t offset;    // bytes into the block file
  uint64_t length;    // bytes
  uint8_t *addr;
  int count;          // record pointers handed out inside the window
  uint64_t lastUse;   // larger = more recently used
};

struct fileLockEntry {
  int fd;
  char *name;  // owned
  struct flock lock;
};

// A handle is used by one thread at a time; nothing in it is shared.
struct metadataPrivate {
  uint64_t blockSize = 0;
  uint64_t neighborhoodSize = 0;
  int synchronize = 1;
  int mode = 0;
  std::string dir;  // ends in "/"
  int lockFd = -1;
  metadataIndex index[3];
  int freeMapFd = -1;
  uint64_t freeMapChanges = 0;
  uint64_t freeMapLength = 0;  // mapped bytes (whole file)
  uint8_t *freeMap = nullptr;
  int blockFd = -1;
  int recordLockFd = -1;
  int shadowFd = -1;
  uint8_t *shadow = nullptr;
  std::vector<blockWindow> windows;  // ordered by offset
  uint64_t useTick = 0;
  uint8_t *superBlock = nullptr;      // counted pointer to block 0
  uint64_t currentBackup = 0;         // offset of the cached hashed backup, 0 = none
  uint64_t currentBackupNo = 0;
  fileLockEntry fileLocks[mdl::MAX_FILE_LOCKS];
  int fileLockCount = 0;
};

// Opens (creating) the index file of kind; 0 / -1.
int openIndex(metadataPrivate *h, metadataIndexKind kind);
// Lock of one neighborhood from position (a second lock for the part that
// wraps to the file's start). 0 / -1.
int lockIndex(metadataPrivate *h, metadataIndexKind kind, uint64_t position, short lockType);
// Write lock of the whole index (the write side's insertions and removals).
int lockIndexWhole(metadataPrivate *h, metadataIndexKind kind);
int unlockIndex(metadataPrivate *h, metadataIndexKind kind);
// Slot position (bytes) of key in the neighborhood at home, -1 when absent.
// The caller holds a lock covering it.
int64_t findInNeighborhood(metadataPrivate *h, metadataIndexKind kind, uint64_t home, uint64_t key);
// Hopscotch insertion / removal under the caller's whole-index lock.
int indexInsertLocked(metadataPrivate *h, metadataIndexKind kind, uint64_t key, uint64_t offset);
int indexRemoveLocked(metadataPrivate *h, metadataIndexKind kind, uint64_t key);
// Replaces the record offset stored under key (whole-index lock held).
int indexUpdateLocked(metadataPrivate *h, metadataIndexKind kind, uint64_t key, uint64_t offset);

// Record locks on the record lock file, through the file-lock stack.
int lockRecordRange(metadataPrivate *h, uint64_t offset, uint64_t length, short type, struct flock *fl);
int unlockRecordRange(metadataPrivate *h, struct flock *fl);
// Hashed backup record: lock, check the signature and the crash marker; a
// write lock also sets the marker. 0 / -1.
int lockAndVerifyHashedBackup(metadataPrivate *h, struct flock *fl, uint64_t offset, short type);
int unlockHashedBackup(metadataPrivate *h, struct flock *fl, uint64_t offset);
// Hash detail: 0, -1, or -2 when the detail went away or (with compare)
// does not match the record.
int lockHashDetail(metadataPrivate *h, struct flock *fl, uint64_t offset, short type,
                   HashValue *record, int compare);
int unlockHashDetail(metadataPrivate *h, struct flock *fl, uint64_t offset);
// Super block lock (8 bytes at offset 0), with its crash marker.
int lockSuperBlock(metadataPrivate *h, struct flock *fl);
int unlockSuperBlock(metadataPrivate *h, struct flock *fl);

// Finds a hash detail by the record's hash ID and/or hash value: 1 found
// (*detail set), 0 not found, -1 error.
int hashValueToHashDetail(metadataPrivate *h, const HashValue *record, uint64_t *detail);
// Checks that record agrees with the detail and completes record from it.
// 0, or -1 with the mismatch logged.
int hashDetailToHashValue(HashValue *record, const uint8_t *detail);
// Adds/removes a hash detail to/from the SIS reference tree (super block
// lock held by the caller). 0 / -1.
int addSIShashReference(metadataPrivate *h, uint64_t detailOffset);
int freeSIShashReference(metadataPrivate *h, uint64_t detailOffset);

void syncMetadataBlocks(metadataPrivate *h);
int memIsZero(const uint8_t *p, size_t n);

// ---------------------------------------------------------------------------
// Reference trees (metadataTree.cpp).
// ---------------------------------------------------------------------------

// The two kinds of reference tree: a backup's (hashRef leaves ordered by
// position) and the SIS tree (SIS#Ref leaves ordered by SIS offset).
struct treeKind {
  const char *leafSignature;
  uint8_t listFlag;  // reference-list flag byte of this tree's nodes
  size_t keyOffset;  // where an entry keeps its key
};
extern const treeKind kBackupTree;
extern const treeKind kSISTree;

// Counted pointer to a mapped block byte: released on scope exit.
class blockRef {
 public:
  blockRef(metadataPrivate *h, uint64_t offset) : h_(h), p_(blockOffsetToPtr(h, offset)) {}
  ~blockRef() {
    if (p_) freeBlockPtr(h_, p_);
  }
  blockRef(const blockRef &) = delete;
  blockRef &operator=(const blockRef &) = delete;
  uint8_t *get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  metadataPrivate *h_;
  uint8_t *p_;
};

// True when an entry holds a record (a detail) — free entries have -1/-2.
bool entryHasDetail(const uint8_t *entry);
// Ring link of an entry, NONE when it has none.
uint64_t entryRing(const uint8_t *entry);
// Allocates and initialises a leaf block of the tree's kind / a list block.
int64_t newReferenceBlock(metadataPrivate *h, const treeKind &kind);
int64_t newHashReferenceList(metadataPrivate *h, const treeKind &kind);

// Inserts an entry with key into the tree rooted at *root (updated when the
// root changes). Keys above every key present are appended in order; others
// join the out-of-order ring of the entry with the greatest key not above
// them (or start a new leading leaf when no such entry exists). Out-of-order
// entries are taken from the block at *overflow (updated when a new one is
// needed). fill() writes the entry's kind-specific fields; ring links and
// ring flags are set here. Returns the entry's offset or -1.
template <typename Fill>
int64_t treeInsert(metadataPrivate *h, const treeKind &kind, uint64_t *root, uint64_t *overflow,
                   uint64_t key, Fill fill);
int64_t treeInsertImpl(metadataPrivate *h, const treeKind &kind, uint64_t *root, uint64_t *overflow,
                       uint64_t key, void (*fill)(void *ctx, uint8_t *entry), void *ctx);
template <typename Fill>
int64_t treeInsert(metadataPrivate *h, const treeKind &kind, uint64_t *root, uint64_t *overflow,
                   uint64_t key, Fill fill) {
  return treeInsertImpl(
      h, kind, root, overflow, key, [](void *c, uint8_t *e) { (*static_cast<Fill *>(c))(e); }, &fill);
}

// Visits the tree's entries with key >= start in key order (rings
// included). visit(ctx, entry offset, entry) returns the new lowest wanted
// key, or -1 to stop. withSignals tests the metadata signal flag per list
// and stops with -1. Returns 0, or -1 on a damaged block or a signal.
typedef int64_t (*treeVisitor)(void *ctx, uint64_t entryOffset, uint8_t *entry);
int treeWalk(metadataPrivate *h, const treeKind &kind, uint64_t root, uint64_t start, treeVisitor visit,
             void *ctx, bool withSignals);
// Collects every block of the tree (lists and leaves) and every block that
// holds an out-of-order entry. 0 / -1.
int treeCollectBlocks(metadataPrivate *h, const treeKind &kind, uint64_t root, std::vector<uint64_t> *blocks);
// Removes an out-of-order entry from its ring and frees it; an in-tree
// entry only loses its record (its ring stays). 0 / -1.
int treeRemoveEntry(metadataPrivate *h, uint64_t entryOffset);
