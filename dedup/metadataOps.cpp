// metadataOps.cpp: the entry points of the metadata store: finding hashed
// backups and hash details, walking a backup's hashes and a hash's
// references (read side), and adding and freeing backups, hash details,
// references and SIS references (write side).
//
// Lock order: a hashed backup before the hash details of its references;
// an index is locked before the super block; a detail lock may be followed
// by the super block lock (SIS tree changes), never the reverse. The chain
// of references to a hash (first reference in the detail, next links in the
// entries) is guarded by the detail's record lock; a backup's tree and its
// entries' other fields by the backup's record lock; the SIS tree and the
// detail allocation block by the super block lock.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "dedup/metadataInternal.h"
#include "lib/logger.h"

namespace {

bool validOffset(uint64_t v) { return v != mdl::NONE && v != mdl::NONE2 && v != 0; }

// Opens the handle on first use (shared mode).
int ensureHandle(metadataPrivate **handle) {
  if (!handle) {
    LOG(0, "%s():  NULL handle", __func__);
    return -1;
  }
  if (!*handle) *handle = allocateMetadataPrivate(0);
  return *handle ? 0 : -1;
}

// Catches signals for the duration of an entry point.
class signalScope {
 public:
  signalScope() : ok_(metadataCatchSignals() == 0) {
    if (!ok_) LOG(0, "%s():  Can't catch signals", __func__);
  }
  ~signalScope() { metadataUncatchSignals(); }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

uint64_t hashValueKey(const HashValue *r) {
  uint64_t k;
  memcpy(&k, r->hashValue, 8);  // first 8 bytes as a little-endian integer
  return k;
}

bool detailMatchesValue(const uint8_t *d, const HashValue *r) {
  return memcmp(d + mdl::DETAIL_HASH_TYPE, r->hashType, 8) == 0 &&
         mdGet64(d, mdl::DETAIL_HASHED_LENGTH) == r->hashedLength &&
         memcmp(d + mdl::DETAIL_HASH_VALUE, r->hashValue, 64) == 0;
}

// Walks a collision list from head for a detail matching every key the
// record gives. 1 found, 0 not, -1 error.
int findInCollisionList(metadataPrivate *h, uint64_t head, const HashValue *r, uint64_t *found) {
  bool byID = r->flags & hashID_in, byValue = r->flags & hashValue_in;
  for (uint64_t cur = head; validOffset(cur);) {
    blockRef b(h, cur);
    if (!b) return -1;
    const uint8_t *d = b.get();
    if (memcmp(d, mdl::DETAIL_SIGNATURE, 8) != 0) {
      LOG(0, "%s():  Not a hashDetail at 0x%lX", __func__, (unsigned long)cur);
      return -1;
    }
    uint64_t next = mdGet64(d, mdl::DETAIL_COLLISION);
    if (mdGet64(d, mdl::DETAIL_FLAGS) & mdl::DETAIL_FLAG_FREEING) {
      cur = next;
      continue;
    }
    bool idOk = byID && mdGet64(d, mdl::DETAIL_HASH_ID) == r->hashID;
    bool valueOk = byValue && detailMatchesValue(d, r);
    if ((!byID || idOk) && (!byValue || valueOk)) {
      *found = cur;
      return 1;
    }
    if (idOk || valueOk) {
      LOG(0, "%s():  Not all of hash keys matched", __func__);
      return -1;
    }
    cur = next;
  }
  return 0;
}

// True when offset names a signed, in-use detail position of the block file.
bool plausibleDetailOffset(metadataPrivate *h, uint64_t offset) {
  if (offset == 0 || offset % mdl::DETAIL_BYTES != 0 || offset >= (1ULL << 62)) return false;
  struct stat st;
  if (h->blockFd < 0 || fstat(h->blockFd, &st) != 0 || offset + mdl::DETAIL_BYTES > (uint64_t)st.st_size) return false;
  if (metadataBlockInUse(h, offset) != 1) return false;
  blockRef b(h, offset);
  return b && memcmp(b.get(), mdl::DETAIL_SIGNATURE, 8) == 0;
}

}  // namespace

int hashDetailToHashValue(HashValue *record, const uint8_t *detail) {
  uint64_t id = mdGet64(detail, mdl::DETAIL_HASH_ID);
  if ((record->flags & hashID_in) && record->hashID != id) {
    LOG(0, "%s():  hashDetails with wrong hashID:  0x%lX != 0x%lX", __func__, (unsigned long)record->hashID,
        (unsigned long)id);
    return -1;
  }
  if ((record->flags & hashValue_in) && !detailMatchesValue(detail, record)) {
    LOG(0, "%s():  hashDetails with wrong hashValue", __func__);
    return -1;
  }
  record->hashID = id;
  memcpy(record->hashType, detail + mdl::DETAIL_HASH_TYPE, 8);
  record->hashedLength = mdGet64(detail, mdl::DETAIL_HASHED_LENGTH);
  memcpy(record->hashValue, detail + mdl::DETAIL_HASH_VALUE, 64);
  record->flags |= hashID_out | hashValue_out;
  if (mdGet64(detail, mdl::DETAIL_FLAGS) & mdl::DETAIL_FLAG_SIS) {
    record->SISoffset = mdGet64(detail, mdl::DETAIL_SIS_OFFSET);
    record->compressedLength = mdGet64(detail, mdl::DETAIL_COMPRESSED);
    record->flags |= SISoffset_out;
  }
  return 0;
}

int hashValueToHashDetail(metadataPrivate *h, const HashValue *record, uint64_t *detail) {
  bool byID = record->flags & hashID_in, byValue = record->flags & hashValue_in;
  if (!byID && !byValue) {
    LOG(0, "%s():  incomplete hashValue structure", __func__);
    return -1;
  }
  // A store-assigned hash ID names its own record: try it before the index.
  if (byID && (record->hashID & mdl::ASSIGNED_ID_BIT)) {
    uint64_t off = record->hashID & ~mdl::ASSIGNED_ID_BIT;
    if (plausibleDetailOffset(h, off)) {
      int rc = findInCollisionList(h, off, record, detail);
      if (rc != 0) return rc;
    }
  }
  metadataIndexKind kind = byID ? MD_HASH_ID_INDEX : MD_HASH_VALUE_INDEX;
  uint64_t key = byID ? record->hashID : hashValueKey(record);
  uint64_t head;
  int rc = metadataIndexFind(h, kind, key, &head);
  if (rc <= 0) return rc;
  return findInCollisionList(h, head, record, detail);
}

// ---------------------------------------------------------------------------
// Read side.
// ---------------------------------------------------------------------------

int64_t findHashedBackup(metadataPrivate **handle, uint64_t backupNo) {
  if (backupNo == 0) {
    LOG(0, "%s():  Invalid backup number 0", __func__);
    return -1;
  }
  if (ensureHandle(handle) != 0) return -1;
  metadataPrivate *h = *handle;
  uint64_t off;
  int rc = metadataIndexFind(h, MD_BACKUP_INDEX, backupNo, &off);
  if (rc < 0) return -1;
  if (rc == 0 || !validOffset(off)) return 0;
  return (int64_t)off;
}

int64_t getHashedBackupReferenceCount(metadataPrivate **handle, uint64_t backupNo) {
  if (ensureHandle(handle) != 0) return -1;
  signalScope signals;
  if (!signals.ok()) return -1;
  metadataPrivate *h = *handle;
  int64_t off = findHashedBackup(handle, backupNo);
  if (off <= 0) return off;
  struct flock fl;
  if (lockAndVerifyHashedBackup(h, &fl, (uint64_t)off, F_RDLCK) != 0) return -1;
  int64_t count = -1;
  {
    blockRef b(h, (uint64_t)off);
    if (b && mdGet64(b.get(), mdl::BACKUP_NUMBER) == backupNo) count = (int64_t)mdGet64(b.get(), mdl::BACKUP_REFCOUNT);
  }
  unlockHashedBackup(h, &fl, (uint64_t)off);
  return count;
}

// Builds the record handed to callbacks from a detail and a reference.
static void buildRecord(HashListEntry *rec, const uint8_t *detail, const uint8_t *entry) {
  memset(rec, 0, sizeof *rec);
  hashDetailToHashValue(&rec->value, detail);
  rec->location.backupNo = mdGet64(entry, mdl::REF_BACKUP);
  rec->location.fileOffset = mdGet64(entry, mdl::REF_POSITION);
  rec->refOccurrence = mdGet64(entry, mdl::REF_OCCURRENCE);
  rec->refFlags = REF_FLAG_GIVEN | (mdGet64(entry, mdl::ENTRY_FLAGS) & REF_FLAG_IN_FILE) | REF_FLAG_EXTRA;
}

// Applies a callback's change of a record: only the SIS offset with the
// compressed length and the reference's bit 2 may change. The detail is
// write-locked by the caller. 0 / -1.
static int acceptCallbackTweakedReference(metadataPrivate *h, const HashListEntry *before, const HashListEntry *after,
                                          uint64_t entryOffset, uint64_t detailOffset) {
  HashListEntry a = *before, b = *after;
  const uint8_t sisBits = SISoffset_in | SISoffset_out;
  a.value.SISoffset = b.value.SISoffset = 0;
  a.value.compressedLength = b.value.compressedLength = 0;
  a.value.flags &= ~sisBits;
  b.value.flags &= ~sisBits;
  a.refFlags &= ~REF_FLAG_IN_FILE;
  b.refFlags &= ~REF_FLAG_IN_FILE;
  if (memcmp(&a, &b, sizeof a) != 0) {
    LOG(0, "%s():  callback corrupted reference!", __func__);
    return -1;
  }
  if ((before->refFlags ^ after->refFlags) & REF_FLAG_IN_FILE) {
    blockRef e(h, entryOffset);
    if (!e) return -1;
    uint64_t f = mdGet64(e.get(), mdl::ENTRY_FLAGS);
    f = (after->refFlags & REF_FLAG_IN_FILE) ? (f | mdl::REF_FLAG_DATA_IN_FILE) : (f & ~mdl::REF_FLAG_DATA_IN_FILE);
    mdPut64(e.get(), mdl::ENTRY_FLAGS, f);
  }
  if (before->value.SISoffset == after->value.SISoffset &&
      before->value.compressedLength == after->value.compressedLength)
    return 0;
  blockRef d(h, detailOffset);
  if (!d) return -1;
  bool inSIS = mdGet64(d.get(), mdl::DETAIL_FLAGS) & mdl::DETAIL_FLAG_SIS;
  struct flock sfl;
  if (lockSuperBlock(h, &sfl) != 0) return -1;
  int rc = 0;
  if (after->value.SISoffset == mdl::NONE) {
    if (inSIS) {
      // Leaving the SIS needs an occurrence whose data is still in its file.
      bool usable = false;
      for (uint64_t cur = mdGet64(d.get(), mdl::DETAIL_FIRST_REF); validOffset(cur) && !usable;) {
        blockRef e(h, cur);
        if (!e) break;
        usable = (mdGet64(e.get(), mdl::ENTRY_FLAGS) & mdl::REF_FLAG_DATA_IN_FILE) &&
                 mdGet64(e.get(), mdl::REF_OCCURRENCE) == 0;
        cur = mdGet64(e.get(), mdl::REF_NEXT);
      }
      if (!usable) {
        LOG(0, "%s():  Can't free hash detail from SIS -- must have a non-deuplicated reference.", __func__);
        rc = -1;
      } else if (freeSIShashReference(h, detailOffset) != 0) {
        LOG(0, "%s():  Couldn't free hash detail from SIS", __func__);
        rc = -1;
      }
    }
  } else {
    if (inSIS) freeSIShashReference(h, detailOffset);
    mdPut64(d.get(), mdl::DETAIL_SIS_OFFSET, after->value.SISoffset);
    mdPut64(d.get(), mdl::DETAIL_COMPRESSED, after->value.compressedLength);
    mdPut64(d.get(), mdl::DETAIL_FLAGS, mdGet64(d.get(), mdl::DETAIL_FLAGS) | mdl::DETAIL_FLAG_SIS);
    if (addSIShashReference(h, detailOffset) != 0) {
      LOG(0, "%s():  Couldn't add hash detail to SIS", __func__);
      rc = -1;
    }
  }
  unlockSuperBlock(h, &sfl);
  return rc;
}

int iterateReferencesToHash(metadataPrivate **handle, HashListEntry *record, metadataCallback callback,
                            void *context) {
  if (!handle || !record || !callback) {
    LOG(0, "%s(%p, %p, %p,):  bad argument", __func__, (void *)handle, (void *)record, (void *)callback);
    return -1;
  }
  if (ensureHandle(handle) != 0) return -1;
  signalScope signals;
  if (!signals.ok()) return -1;
  metadataPrivate *h = *handle;
  uint64_t detailOff;
  int found = hashValueToHashDetail(h, &record->value, &detailOff);
  if (found <= 0) return found;
  HashValue compare = record->value;
  struct flock fl;
  if (lockHashDetail(h, &fl, detailOff, F_RDLCK, &compare, 1) != 0) {
    LOG(0, "%s():  Can't lock hash detail block!", __func__);
    return -1;
  }
  bool held = true, writeHeld = false;
  int rc = 0;
  blockRef d(h, detailOff);
  if (!d) rc = -1;
  for (uint64_t cur = d ? mdGet64(d.get(), mdl::DETAIL_FIRST_REF) : mdl::NONE; rc == 0 && validOffset(cur);) {
    if (metadataSignalReceived()) {
      rc = -1;
      break;
    }
    blockRef e(h, cur);
    if (!e) {
      LOG(0, "%s():  Can't map hash reference block!", __func__);
      rc = -1;
      break;
    }
    if (memcmp(e.get(), mdl::HASHREF_SIGNATURE, 8) != 0 || mdGet64(e.get(), mdl::ENTRY_DETAIL) != detailOff) {
      LOG(0, "%s():  Not a hash reference!", __func__);
      rc = -1;
      break;
    }
    uint64_t next = mdGet64(e.get(), mdl::REF_NEXT);
    HashListEntry rec, before;
    buildRecord(&rec, d.get(), e.get());
    before = rec;
    int inSIS = (mdGet64(d.get(), mdl::DETAIL_FLAGS) & mdl::DETAIL_FLAG_SIS) ? 2 : 0;
    int64_t ret = callback(context, &rec, inSIS, 0);
    if (memcmp(&rec, &before, sizeof rec) != 0) {
      if (!writeHeld) {
        // Upgrade to a write lock for the change; the detail is re-checked.
        unlockHashDetail(h, &fl, detailOff);
        held = false;
        if (lockHashDetail(h, &fl, detailOff, F_WRLCK, nullptr, 0) != 0) {
          rc = -1;
          break;
        }
        held = writeHeld = true;
      }
      if (acceptCallbackTweakedReference(h, &before, &rec, cur, detailOff) != 0) rc = -1;
    }
    if (ret < 0) break;
    cur = next;
  }
  if (d) {
    record->value.flags &= ~HASH_OUT_BITS;
    hashDetailToHashValue(&record->value, d.get());
  }
  if (held) unlockHashDetail(h, &fl, detailOff);
  return rc;
}

namespace {
struct backupWalk {
  metadataPrivate *h;
  uint64_t backupNo;
  uint64_t countOthers;
  metadataCallback callback;
  void *context;
  int rc;
};

// Counts references of other backups whose data is still in their files
// (and, with skipFlagged, whose occurrence word is 0), up to limit.
int countOtherReferences(metadataPrivate *h, uint64_t *count, uint64_t backupNo, uint64_t detailOff,
                         const uint8_t *detail, uint64_t limit, bool skipFlagged) {
  *count = 0;
  uint64_t seen = 0;
  for (uint64_t cur = mdGet64(detail, mdl::DETAIL_FIRST_REF); validOffset(cur) && *count < limit;) {
    if ((++seen % 1024) == 0 && metadataSignalReceived()) return -1;
    blockRef e(h, cur);
    if (!e || memcmp(e.get(), mdl::HASHREF_SIGNATURE, 8) != 0 || mdGet64(e.get(), mdl::ENTRY_DETAIL) != detailOff) {
      LOG(0, "%s():  Not a hash reference!", __func__);
      return -1;
    }
    if (mdGet64(e.get(), mdl::REF_BACKUP) != backupNo &&
        (mdGet64(e.get(), mdl::ENTRY_FLAGS) & mdl::REF_FLAG_DATA_IN_FILE) &&
        (!skipFlagged || mdGet64(e.get(), mdl::REF_OCCURRENCE) == 0))
      (*count)++;
    cur = mdGet64(e.get(), mdl::REF_NEXT);
  }
  return 0;
}

int64_t performCallback(void *ctx, uint64_t entryOff, uint8_t *entry) {
  backupWalk &w = *static_cast<backupWalk *>(ctx);
  metadataPrivate *h = w.h;
  uint64_t detailOff = mdGet64(entry, mdl::ENTRY_DETAIL);
  struct flock fl;
  if (lockHashDetail(h, &fl, detailOff, F_RDLCK, nullptr, 0) != 0) {
    w.rc = -1;
    return -1;
  }
  HashListEntry rec, before;
  int inSIS;
  {
    blockRef d(h, detailOff);
    if (!d) {
      unlockHashDetail(h, &fl, detailOff);
      w.rc = -1;
      return -1;
    }
    buildRecord(&rec, d.get(), entry);
    rec.location.backupNo = w.backupNo;
    inSIS = (mdGet64(d.get(), mdl::DETAIL_FLAGS) & mdl::DETAIL_FLAG_SIS) ? 2 : 0;
    if (w.countOthers) {
      // The count of other backups' references travels in locationID.
      uint64_t n = 0;
      if (countOtherReferences(h, &n, w.backupNo, detailOff, d.get(), w.countOthers, false) != 0) {
        unlockHashDetail(h, &fl, detailOff);
        w.rc = -1;
        return -1;
      }
      rec.value.locationID = n;
    }
  }
  unlockHashDetail(h, &fl, detailOff);
  before = rec;
  int64_t next = w.callback(w.context, &rec, inSIS, 0);
  if (memcmp(&rec, &before, sizeof rec) != 0) {
    if (lockHashDetail(h, &fl, detailOff, F_WRLCK, nullptr, 0) != 0) {
      w.rc = -1;
      return -1;
    }
    if (acceptCallbackTweakedReference(h, &before, &rec, entryOff, detailOff) != 0) w.rc = -1;
    unlockHashDetail(h, &fl, detailOff);
    if (w.rc != 0) return -1;
  }
  return next;
}
}  // namespace

int iterateHashesInBackup(metadataPrivate **handle, uint64_t backupNo, uint64_t startPosition, uint64_t countOthers,
                          metadataCallback callback, void *context) {
  if (ensureHandle(handle) != 0) return -1;
  signalScope signals;
  if (!signals.ok()) return -1;
  metadataPrivate *h = *handle;
  uint64_t off = 0;
  if (h->currentBackup && h->currentBackupNo == backupNo) {
    blockRef b(h, h->currentBackup);
    if (b && memcmp(b.get(), mdl::BACKUP_SIGNATURE, 8) == 0 && mdGet64(b.get(), mdl::BACKUP_NUMBER) == backupNo)
      off = h->currentBackup;
  }
  if (!off) {
    h->currentBackup = 0;
    int64_t found = findHashedBackup(handle, backupNo);
    if (found <= 0) return (int)found;
    off = (uint64_t)found;
  }
  struct flock fl;
  if (lockAndVerifyHashedBackup(h, &fl, off, F_RDLCK) != 0) return -1;
  int rc = 0;
  uint64_t root = mdl::NONE;
  {
    blockRef b(h, off);
    if (!b) {
      rc = -1;
    } else if (mdGet64(b.get(), mdl::BACKUP_NUMBER) != backupNo) {
      LOG(0, "%s():  Locked wrong backup: 0x%lX != 0x%lX", __func__, (unsigned long)mdGet64(b.get(), mdl::BACKUP_NUMBER),
          (unsigned long)backupNo);
      rc = -1;
    } else {
      root = mdGet64(b.get(), mdl::BACKUP_ROOT);
      h->currentBackup = off;
      h->currentBackupNo = backupNo;
    }
  }
  if (rc == 0) {
    backupWalk w = {h, backupNo, countOthers, callback, context, 0};
    rc = treeWalk(h, kBackupTree, root, startPosition, performCallback, &w, true);
    if (w.rc != 0) rc = -1;
  }
  if (unlockHashedBackup(h, &fl, off) != 0) rc = -1;
  return rc;
}

// ---------------------------------------------------------------------------
// SIS references (super block lock held by the caller).
// ---------------------------------------------------------------------------

int addSIShashReference(metadataPrivate *h, uint64_t detailOffset) {
  blockRef d(h, detailOffset);
  if (!d) return -1;
  uint64_t sisOffset = mdGet64(d.get(), mdl::DETAIL_SIS_OFFSET);
  uint64_t root = mdGet64(h->superBlock, mdl::SUPER_SIS_ROOT);
  uint64_t overflow = mdGet64(h->superBlock, mdl::SUPER_SIS_OVERFLOW);
  const uint8_t *dp = d.get();
  int64_t entry = treeInsert(h, kSISTree, &root, &overflow, sisOffset, [&](uint8_t *e) {
    mdPut64(e, mdl::SISREF_HASH_ID, mdGet64(dp, mdl::DETAIL_HASH_ID));
    mdPut64(e, mdl::SISREF_HASHED_LENGTH, mdGet64(dp, mdl::DETAIL_HASHED_LENGTH));
    mdPut64(e, mdl::SISREF_COMPRESSED, mdGet64(dp, mdl::DETAIL_COMPRESSED));
    mdPut64(e, mdl::ENTRY_DETAIL, detailOffset);
    mdPut64(e, mdl::ENTRY_FLAGS, 0);
  });
  mdPut64(h->superBlock, mdl::SUPER_SIS_ROOT, root);
  mdPut64(h->superBlock, mdl::SUPER_SIS_OVERFLOW, overflow);
  if (entry < 0) return -1;
  mdPut64(d.get(), mdl::DETAIL_SIS_REF, (uint64_t)entry);
  return 0;
}

int freeSIShashReference(metadataPrivate *h, uint64_t detailOffset) {
  blockRef d(h, detailOffset);
  if (!d) return -1;
  uint64_t entry = mdGet64(d.get(), mdl::DETAIL_SIS_REF);
  if (validOffset(entry) && treeRemoveEntry(h, entry) != 0) return -1;
  mdPut64(d.get(), mdl::DETAIL_SIS_REF, mdl::NONE);
  mdPut64(d.get(), mdl::DETAIL_FLAGS, mdGet64(d.get(), mdl::DETAIL_FLAGS) & ~mdl::DETAIL_FLAG_SIS);
  return 0;
}

namespace {
struct sisWalk {
  int (*callback)(void *, uint64_t, uint64_t);
  void *context;
};
int64_t sisVisit(void *ctx, uint64_t, uint8_t *entry) {
  sisWalk &w = *static_cast<sisWalk *>(ctx);
  uint64_t sis = mdGet64(entry, mdl::SISREF_SIS_OFFSET);
  if (w.callback(w.context, sis, mdGet64(entry, mdl::ENTRY_DETAIL)) < 0) return -1;
  return (int64_t)sis;
}
}  // namespace

int iterateSISblocks(metadataPrivate **handle, uint64_t startOffset,
                     int (*callback)(void *context, uint64_t SISoffset, uint64_t detail), void *context) {
  if (ensureHandle(handle) != 0) return -1;
  metadataPrivate *h = *handle;
  struct flock fl;
  if (lockRecordRange(h, 0, 8, F_RDLCK, &fl) != 0) return -1;
  sisWalk w = {callback, context};
  int rc = treeWalk(h, kSISTree, mdGet64(h->superBlock, mdl::SUPER_SIS_ROOT), startOffset, sisVisit, &w, false);
  unlockRecordRange(h, &fl);
  return rc;
}

// ---------------------------------------------------------------------------
// Write side.
// ---------------------------------------------------------------------------

int64_t addHashedBackup(metadataPrivate **handle, uint64_t backupNo) {
  int64_t existing = findHashedBackup(handle, backupNo);
  if (existing != 0) return existing;
  metadataPrivate *h = *handle;
  if (openIndex(h, MD_BACKUP_INDEX) != 0 || lockIndexWhole(h, MD_BACKUP_INDEX) != 0) return -1;
  int64_t result = -1;
  int64_t pos = findInNeighborhood(h, MD_BACKUP_INDEX, metadataIndexHome(h, MD_BACKUP_INDEX, backupNo), backupNo);
  if (pos >= 0) {
    result = (int64_t)mdGet64(h->index[MD_BACKUP_INDEX].map + pos, mdl::SLOT_OFFSET);
  } else {
    int64_t blk = getMetadataBlock(h);
    if (blk >= 0) {
      blockRef b(h, (uint64_t)blk);
      if (b) {
        hashedBackup rec = {backupNo, mdl::NONE, mdl::NONE, 0};
        encodeHashedBackup(b.get(), &rec);
        if (indexInsertLocked(h, MD_BACKUP_INDEX, backupNo, (uint64_t)blk) == 0) {
          result = blk;
        } else {
          memset(b.get(), 0, mdl::BACKUP_RECORD_BYTES);
        }
      }
      if (result < 0) freeMetadataBlock(h, (uint64_t)blk);
    }
  }
  unlockIndex(h, MD_BACKUP_INDEX);
  if (result > 0) syncMetadataBlocks(h);
  return result;
}

// A zero 256-byte place for a new detail, from the current detail block
// (a new one when it is full). Super block lock held.
static int64_t allocDetailPlace(metadataPrivate *h) {
  uint64_t blk = mdGet64(h->superBlock, mdl::SUPER_DETAIL_BLOCK);
  if (validOffset(blk)) {
    blockRef b(h, blk);
    if (!b) return -1;
    for (uint64_t i = 0; i < h->blockSize / mdl::DETAIL_BYTES; i++)
      if (memIsZero(b.get() + i * mdl::DETAIL_BYTES, mdl::DETAIL_BYTES)) return (int64_t)(blk + i * mdl::DETAIL_BYTES);
  }
  int64_t nb = getMetadataBlock(h);
  if (nb < 0) {
    LOG(0, "%s():  Can't get metadata block for hash details!", __func__);
    return -1;
  }
  mdPut64(h->superBlock, mdl::SUPER_DETAIL_BLOCK, (uint64_t)nb);
  return nb;
}

// Finds the detail of the record's hash value or makes it. Offset or -1.
static int64_t findOrMakeDetail(metadataPrivate *h, const HashValue *record) {
  if (!(record->flags & hashValue_in)) {
    LOG(0, "%s():  incomplete hashValue structure", __func__);
    return -1;
  }
  HashValue byValue = *record;
  byValue.flags = hashValue_in;
  uint64_t key = hashValueKey(record);
  if (openIndex(h, MD_HASH_VALUE_INDEX) != 0 || lockIndexWhole(h, MD_HASH_VALUE_INDEX) != 0) return -1;
  int64_t result = -1;
  int64_t pos = findInNeighborhood(h, MD_HASH_VALUE_INDEX, metadataIndexHome(h, MD_HASH_VALUE_INDEX, key), key);
  uint64_t head = pos >= 0 ? mdGet64(h->index[MD_HASH_VALUE_INDEX].map + pos, mdl::SLOT_OFFSET) : mdl::NONE;
  uint64_t found;
  int rc = validOffset(head) ? findInCollisionList(h, head, &byValue, &found) : 0;
  bool callerID = (record->flags & hashID_in) && !(record->hashID & mdl::ASSIGNED_ID_BIT) && record->hashID != 0;
  if (rc == 1) {
    result = (int64_t)found;
  } else if (rc == 0) {
    struct flock sfl;
    if (lockSuperBlock(h, &sfl) == 0) {
      int64_t place = allocDetailPlace(h);
      if (place > 0) {
        blockRef d(h, (uint64_t)place);
        if (d) {
          hashDetail det = {};
          det.hashID = callerID ? record->hashID : (mdl::ASSIGNED_ID_BIT | (uint64_t)place);
          det.firstRef = mdl::NONE;
          det.collision = head;
          memcpy(det.hashType, record->hashType, 8);
          det.hashedLength = record->hashedLength;
          memcpy(det.hashValue, record->hashValue, 64);
          det.SISref = mdl::NONE;
          encodeHashDetail(d.get(), &det);
          result = place;
        }
      }
      unlockSuperBlock(h, &sfl);
    }
    if (result > 0) {
      int irc = pos >= 0 ? indexUpdateLocked(h, MD_HASH_VALUE_INDEX, key, (uint64_t)result)
                         : indexInsertLocked(h, MD_HASH_VALUE_INDEX, key, (uint64_t)result);
      if (irc != 0) {
        blockRef d(h, (uint64_t)result);
        if (d) memset(d.get(), 0, mdl::DETAIL_BYTES);
        result = -1;
      }
    }
  }
  unlockIndex(h, MD_HASH_VALUE_INDEX);
  if (result > 0 && rc == 0 && callerID && metadataIndexInsert(h, MD_HASH_ID_INDEX, record->hashID, (uint64_t)result) != 0)
    return -1;
  return result;
}

int addHashToBackup(metadataPrivate **handle, uint64_t backupNo, HashListEntry *record) {
  int64_t boff = addHashedBackup(handle, backupNo);
  if (boff <= 0) return -1;
  metadataPrivate *h = *handle;
  struct flock bfl;
  if (lockAndVerifyHashedBackup(h, &bfl, (uint64_t)boff, F_WRLCK) != 0) return -1;
  int rc = -1;
  int64_t detailOff = findOrMakeDetail(h, &record->value);
  struct flock dfl;
  if (detailOff > 0 && lockHashDetail(h, &dfl, (uint64_t)detailOff, F_WRLCK, nullptr, 0) == 0) {
    blockRef b(h, (uint64_t)boff);
    blockRef d(h, (uint64_t)detailOff);
    if (b && d) {
      uint64_t root = mdGet64(b.get(), mdl::BACKUP_ROOT);
      uint64_t overflow = mdGet64(b.get(), mdl::BACKUP_OVERFLOW);
      uint64_t firstRef = mdGet64(d.get(), mdl::DETAIL_FIRST_REF);
      int64_t entry = treeInsert(h, kBackupTree, &root, &overflow, record->location.fileOffset, [&](uint8_t *e) {
        mdPut64(e, mdl::REF_BACKUP, backupNo);
        mdPut64(e, mdl::REF_OCCURRENCE, record->refOccurrence);
        mdPut64(e, mdl::ENTRY_DETAIL, (uint64_t)detailOff);
        mdPut64(e, mdl::REF_NEXT, firstRef);
        mdPut64(e, mdl::ENTRY_FLAGS, record->refFlags & REF_FLAG_IN_FILE);
      });
      mdPut64(b.get(), mdl::BACKUP_ROOT, root);
      mdPut64(b.get(), mdl::BACKUP_OVERFLOW, overflow);
      if (entry > 0) {
        mdPut64(d.get(), mdl::DETAIL_FIRST_REF, (uint64_t)entry);
        mdPut64(b.get(), mdl::BACKUP_REFCOUNT, mdGet64(b.get(), mdl::BACKUP_REFCOUNT) + 1);
        rc = 0;
        bool inSIS = mdGet64(d.get(), mdl::DETAIL_FLAGS) & mdl::DETAIL_FLAG_SIS;
        if ((record->value.flags & SISoffset_in) && !inSIS) {
          struct flock sfl;
          if (lockSuperBlock(h, &sfl) != 0) {
            rc = -1;
          } else {
            mdPut64(d.get(), mdl::DETAIL_SIS_OFFSET, record->value.SISoffset);
            mdPut64(d.get(), mdl::DETAIL_COMPRESSED, record->value.compressedLength);
            mdPut64(d.get(), mdl::DETAIL_FLAGS, mdGet64(d.get(), mdl::DETAIL_FLAGS) | mdl::DETAIL_FLAG_SIS);
            if (addSIShashReference(h, (uint64_t)detailOff) != 0) rc = -1;
            unlockSuperBlock(h, &sfl);
          }
        }
        record->value.hashID = mdGet64(d.get(), mdl::DETAIL_HASH_ID);
        record->value.flags |= hashID_out;
      }
    }
    unlockHashDetail(h, &dfl, (uint64_t)detailOff);
  }
  unlockHashedBackup(h, &bfl, (uint64_t)boff);
  return rc;
}

// Removes a detail that lost its last reference: out of its indexes and the
// SIS tree, then zeroed; its block goes back when no detail is left in it.
// The detail is write-locked by the caller.
static int freeHashDetail(metadataPrivate *h, uint64_t detailOff) {
  blockRef d(h, detailOff);
  if (!d) return -1;
  uint8_t *dp = d.get();
  mdPut64(dp, mdl::DETAIL_FLAGS, mdGet64(dp, mdl::DETAIL_FLAGS) | mdl::DETAIL_FLAG_FREEING);
  uint64_t id = mdGet64(dp, mdl::DETAIL_HASH_ID);
  uint64_t key;
  memcpy(&key, dp + mdl::DETAIL_HASH_VALUE, 8);
  int rc = 0;
  if (openIndex(h, MD_HASH_VALUE_INDEX) != 0 || lockIndexWhole(h, MD_HASH_VALUE_INDEX) != 0) return -1;
  int64_t pos = findInNeighborhood(h, MD_HASH_VALUE_INDEX, metadataIndexHome(h, MD_HASH_VALUE_INDEX, key), key);
  uint64_t next = mdGet64(dp, mdl::DETAIL_COLLISION);
  if (pos >= 0) {
    uint64_t head = mdGet64(h->index[MD_HASH_VALUE_INDEX].map + pos, mdl::SLOT_OFFSET);
    if (head == detailOff) {
      if (validOffset(next))
        indexUpdateLocked(h, MD_HASH_VALUE_INDEX, key, next);
      else
        indexRemoveLocked(h, MD_HASH_VALUE_INDEX, key);
    } else {
      for (uint64_t cur = head; validOffset(cur);) {
        blockRef c(h, cur);
        if (!c) {
          rc = -1;
          break;
        }
        uint64_t link = mdGet64(c.get(), mdl::DETAIL_COLLISION);
        if (link == detailOff) {
          mdPut64(c.get(), mdl::DETAIL_COLLISION, next);
          break;
        }
        cur = link;
      }
    }
  }
  unlockIndex(h, MD_HASH_VALUE_INDEX);
  if (!(id & mdl::ASSIGNED_ID_BIT) && metadataIndexRemove(h, MD_HASH_ID_INDEX, id) < 0) rc = -1;
  struct flock sfl;
  if (lockSuperBlock(h, &sfl) != 0) return -1;
  if (mdGet64(dp, mdl::DETAIL_FLAGS) & mdl::DETAIL_FLAG_SIS) freeSIShashReference(h, detailOff);
  memset(dp, 0, mdl::DETAIL_BYTES);
  uint64_t blk = detailOff - detailOff % h->blockSize;
  if (blk != mdGet64(h->superBlock, mdl::SUPER_DETAIL_BLOCK)) {
    blockRef b(h, blk);
    if (b && memIsZero(b.get(), h->blockSize)) freeMetadataBlock(h, blk);
  }
  unlockSuperBlock(h, &sfl);
  return rc;
}

namespace {
int64_t collectEntry(void *ctx, uint64_t entryOff, uint8_t *entry) {
  (void)entry;
  static_cast<std::vector<uint64_t> *>(ctx)->push_back(entryOff);
  return 0;
}
}  // namespace

int freeHashedBackup(metadataPrivate **handle, uint64_t backupNo) {
  int64_t boff = findHashedBackup(handle, backupNo);
  if (boff <= 0) return (int)boff;
  metadataPrivate *h = *handle;
  struct flock bfl;
  if (lockAndVerifyHashedBackup(h, &bfl, (uint64_t)boff, F_WRLCK) != 0) return -1;
  int rc = 0;
  uint64_t root;
  {
    blockRef b(h, (uint64_t)boff);
    root = b ? mdGet64(b.get(), mdl::BACKUP_ROOT) : mdl::NONE;
  }
  std::vector<uint64_t> entries, blocks;
  if (treeWalk(h, kBackupTree, root, 0, collectEntry, &entries, false) != 0 ||
      treeCollectBlocks(h, kBackupTree, root, &blocks) != 0)
    rc = -1;
  for (uint64_t entryOff : entries) {
    if (rc != 0) break;
    uint64_t detailOff;
    {
      blockRef e(h, entryOff);
      if (!e) {
        rc = -1;
        break;
      }
      detailOff = mdGet64(e.get(), mdl::ENTRY_DETAIL);
    }
    struct flock dfl;
    if (lockHashDetail(h, &dfl, detailOff, F_WRLCK, nullptr, 0) != 0) {
      rc = -1;
      break;
    }
    bool lastRef = false;
    {
      blockRef d(h, detailOff);
      blockRef e(h, entryOff);
      if (!d || !e) {
        rc = -1;
      } else {
        uint64_t next = mdGet64(e.get(), mdl::REF_NEXT);
        uint64_t first = mdGet64(d.get(), mdl::DETAIL_FIRST_REF);
        if (first == entryOff) {
          mdPut64(d.get(), mdl::DETAIL_FIRST_REF, next);
        } else {
          for (uint64_t cur = first; validOffset(cur);) {
            blockRef c(h, cur);
            if (!c) break;
            uint64_t link = mdGet64(c.get(), mdl::REF_NEXT);
            if (link == entryOff) {
              mdPut64(c.get(), mdl::REF_NEXT, next);
              break;
            }
            cur = link;
          }
        }
        mdPut64(e.get(), mdl::ENTRY_DETAIL, mdl::NONE);
        lastRef = !validOffset(mdGet64(d.get(), mdl::DETAIL_FIRST_REF));
      }
    }
    if (rc == 0 && lastRef && freeHashDetail(h, detailOff) != 0) rc = -1;
    // The detail's marker is cleared by name; a freed detail is no longer
    // signed, which does not matter to the unlock.
    unlockHashDetail(h, &dfl, detailOff);
  }
  if (rc == 0) {
    for (uint64_t blk : blocks) freeMetadataBlock(h, blk);
    if (openIndex(h, MD_BACKUP_INDEX) == 0 && lockIndexWhole(h, MD_BACKUP_INDEX) == 0) {
      indexRemoveLocked(h, MD_BACKUP_INDEX, backupNo);
      unlockIndex(h, MD_BACKUP_INDEX);
    } else {
      rc = -1;
    }
    blockRef b(h, (uint64_t)boff);
    if (b) memset(b.get(), 0, mdl::BACKUP_RECORD_BYTES);
  }
  if (h->currentBackupNo == backupNo) h->currentBackup = 0;
  unlockHashedBackup(h, &bfl, (uint64_t)boff);
  if (rc == 0) {
    freeMetadataBlock(h, (uint64_t)boff);
    syncMetadataBlocks(h);
  }
  return rc;
}
