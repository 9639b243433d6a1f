// hashRead.cpp: block data by hash (from the single instance store or a
// backup's data file, with a read-ahead buffer), hash locks on the shared
// lock file, and SHA-512 hash contexts.
#include "dedup/hashRead.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dedup/backupTypes.h"
#include "dedup/hashValues.h"
#include "dedup/metadata.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/syspath.h"
#include "store/SIS.h"
#include "store/archiverw.h"

namespace {

constexpr size_t READ_AHEAD_MAX = 10485760;  // 10 MiB
constexpr int D2D_DEVICE_TYPE = 128;
constexpr uint64_t HASH_LOCK_MASK = 0x3FFFFFFF;

// A backup's data file is read through the archive filter with the
// backup's properties, so blocks of gzip/LZ4-compressed and encrypted
// archives read back as the decoded bytes at their virtual offsets (the
// offsets the index records).
//
// Property 0x400 is both part of the hashed bits (1536) that hashing sets
// on every backup and the filter's "deduplicated" bit, which would hand the
// open to the reduplicating reader. The block reader only ever reads a
// block whose data is still in the backup's file (deduplicated IS NULL, or
// reference flag bit 2 in the metadata store), and in both layouts a
// deduplicated archive keeps every such byte at its virtual offset in the
// underlying file. So the file is always opened with 0x400 cleared: a
// hashed but not deduplicated archive reads as the plain, compressed or
// encrypted archive it is, a deduplicated one reads its non-deduplicated
// ranges directly, and the block reader never recurses into the
// reduplicating reader (which itself reads blocks through this code).
constexpr uint64_t BACKUP_FILE_PROPERTY_MASK = ~ARCH_PROP_DEDUPLICATED;

}  // namespace

struct hashedContentsPrivate {
  SIShandle *sis = nullptr;            // opened on first SIS read
  archiveFilter *backupFile = nullptr;  // backup whose data file is open
  uint64_t backupNo = 0;               // its number, 0 when none
  int locked = 0;                      // 1 once the open file holds its shared flock
  hashValuesPrivate *values = nullptr; // record completion
  metadataPrivate *metadata = nullptr; // candidate search of generation 1
  // Where the current hash's data lies in the open backup file.
  uint64_t candidateHashID = 0;
  uint64_t candidateOffset = 0;
  // Read-ahead buffer.
  uint8_t *buffer = nullptr;
  size_t bufferSize = 0;
  size_t filled = 0;
  uint64_t bufferStart = 0;   // block offset of the first buffered byte
  uint64_t bufferHashID = 0;  // hash the buffer belongs to, 0 = empty
};

namespace {

bool knowsHashID(const HashValue *r) { return r->flags & (hashID_in | hashID_out); }
bool knowsHashValue(const HashValue *r) { return r->flags & (hashValue_in | hashValue_out); }
bool inSIS(const HashValue *r) { return r->flags & (SISoffset_in | SISoffset_out); }

void closeBackupFile(hashedContentsPrivate *p) {
  if (!p->backupFile) return;
  if (p->locked && flock(p->backupFile->fd, LOCK_UN) != 0)
    LOG(0, "%s: Can't unlock backup %ld file: %s", __func__, long(p->backupNo), strerror(errno));
  archive_close(p->backupFile);
  p->backupFile = nullptr;
  p->backupNo = 0;
  p->locked = 0;
  p->candidateHashID = 0;
}

// Opens the data file of backupNo (on any dedup device, with or without
// ".gz") through the archive filter with the backup's properties (less the
// deduplicated bit, see above) and takes its shared lock on the filter's
// descriptor. Keeps an already open file of the same backup. 0 / -1.
int openBackupFile(hashedContentsPrivate *p, uint64_t backupNo) {
  if (p->backupFile && p->backupNo == backupNo) return 0;
  PgResultPtr props(pgQuery("SELECT properties FROM vx.backups WHERE (backup_no = %lu)", backupNo));
  if (!props || pgTuples(props.get()) < 1) return -1;
  uint64_t properties = pgULVal(props.get(), 0, "properties") & BACKUP_FILE_PROPERTY_MASK;
  PgResultPtr devs(pgQuery("SELECT dev_nr_name FROM vx.devices WHERE (device_type = %d) ORDER BY "
                           "octet_length(dev_nr_name) ASC",
                           D2D_DEVICE_TYPE));
  if (!devs) return -1;
  for (long row = pgTuples(devs.get()) - 1; row >= 0; row--) {
    const char *dir = pgSVal(devs.get(), int(row), "dev_nr_name");
    if (!dir || !*dir) continue;
    size_t dl = strlen(dir);
    char path[4096];
    int stem = 0;
    int n = snprintf(path, sizeof path, "%s%sbackup_%ld%n.gz", dir, dir[dl - 1] == '/' ? "" : "/",
                     long(backupNo), &stem);
    if (n < 0 || size_t(n) >= sizeof path) continue;
    archiveFilter *f = archive_open(path, "r", properties);
    if (!f) {
      path[stem] = 0;  // without ".gz"
      f = archive_open(path, "r", properties);
    }
    if (!f) continue;
    if (flock(f->fd, LOCK_SH | LOCK_NB) != 0) {
      LOG(0, "%s: Can't lock backup %ld file: %s", __func__, long(backupNo), strerror(errno));
      archive_close(f);
      continue;
    }
    closeBackupFile(p);
    p->backupFile = f;
    p->backupNo = backupNo;
    p->locked = 1;
    return 0;
  }
  return -1;
}

// Generation 0: backups whose file still holds the hash, the open one
// first, then the newest, through a cursor in one transaction.
int findCandidateCatalogue(hashedContentsPrivate *p, const HashValue *record) {
  char query[1024];
  int n = snprintf(query, sizeof query,
                   "DECLARE candidates CURSOR FOR SELECT backup_no, file_offset FROM "
                   "vx.backups_hash_values WHERE (backup_no = %ld) AND (hash_id = %ld) AND "
                   "(deduplicated IS NULL) AND (hash_incomplete = FALSE) UNION ALL (SELECT "
                   "backup_no, file_offset FROM vx.backups_hash_values WHERE (deduplicated IS NULL) "
                   "AND (hash_incomplete = FALSE) AND (hash_id = %ld) ORDER BY backup_no DESC)",
                   long(p->backupNo), long(record->hashID), long(record->hashID));
  if (n < 0 || size_t(n) >= sizeof query) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  if (pgBegin() != 0) {
    LOG(0, "%s: pgBegin() failed -- can't start transaction", __func__);
    return -1;
  }
  PgResultPtr declared(pgExec(query));
  if (!declared || pgStatus(declared.get()) != 0) {
    LOG(0, "%s: Can't create database cursor to find candidates", __func__);
    if (pgRollback() != 0) LOG(0, "%s: pgRollback() failed -- can't rollback", __func__);
    return -1;
  }
  int found = -1;
  for (;;) {
    PgResultPtr row(pgExec("FETCH NEXT FROM candidates"));
    if (!row || pgStatus(row.get()) != 0 || pgTuples(row.get()) < 1) break;
    uint64_t backupNo = pgULVal(row.get(), 0, "backup_no");
    uint64_t fileOffset = pgULVal(row.get(), 0, "file_offset");
    if (openBackupFile(p, backupNo) == 0) {
      p->candidateHashID = record->hashID;
      p->candidateOffset = fileOffset;
      found = 0;
      break;
    }
  }
  PgResultPtr closed(pgExec("CLOSE candidates"));
  if (!closed || pgStatus(closed.get()) != 0)
    LOG(0, "%s: Can't close cursor", __func__);
  if (pgCommit() != 0) {
    LOG(0, "%s: pgCommit() failed -- can't commit", __func__);
    return -1;
  }
  return found;
}

struct storeCandidate {
  uint64_t backupNo;
  uint64_t fileOffset;
};

// Collects the references whose data is still in their backup file.
int64_t collectCandidate(void *context, HashListEntry *ref, int, int) {
  auto *out = static_cast<std::vector<storeCandidate> *>(context);
  if ((ref->refFlags & 4) && ref->refOccurrence == 0)
    out->push_back({ref->location.backupNo, ref->location.fileOffset});
  return 0;
}

// Generation 1: the hash's references in the metadata store; the open
// backup's own references first, then every one in reference order.
int findCandidateStore(hashedContentsPrivate *p, const HashValue *record) {
  if (!p->metadata) p->metadata = allocateMetadataPrivate(0);
  if (!p->metadata) return -1;
  HashListEntry key = {};
  key.value = *record;
  key.value.flags = hashID_in;
  std::vector<storeCandidate> candidates;
  if (iterateReferencesToHash(&p->metadata, &key, collectCandidate, &candidates) != 0) {
    LOG(0, "%s: Could not find backup candidates. Failed to iterateReferencesToHash().", __func__);
    return -1;
  }
  if (p->backupFile) {
    for (const storeCandidate &c : candidates)
      if (c.backupNo == p->backupNo) {
        p->candidateHashID = record->hashID;
        p->candidateOffset = c.fileOffset;
        return 0;
      }
  }
  for (const storeCandidate &c : candidates)
    if (openBackupFile(p, c.backupNo) == 0) {
      p->candidateHashID = record->hashID;
      p->candidateOffset = c.fileOffset;
      return 0;
    }
  return -1;
}

// Reads straight from a backup file that holds the block. Bytes read (may
// be short at the file's end) or -1.
ssize_t readFromBackup(hashedContentsPrivate *p, const HashValue *record, uint8_t *dst,
                       size_t length, uint64_t offset) {
  if (p->candidateHashID != record->hashID || !p->backupFile) {
    int generation = getMetadataGeneration();
    int rc = generation == 0   ? findCandidateCatalogue(p, record)
             : generation == 1 ? findCandidateStore(p, record)
                               : (LOG(0, "%s: Invalid metadata generation: %d", __func__, generation), -1);
    if (rc != 0) {
      LOG(0, "%s: Couldn't find a backup to open with hash ID 0x%lX", __func__, record->hashID);
      return -1;
    }
  }
  uint64_t at = p->candidateOffset + offset;
  if (archive_seek(p->backupFile, int64_t(at), SEEK_SET) != int64_t(at)) {
    LOG(0, "%s: Can't seek to 0x%lX in backup %ld", __func__, at, long(p->backupNo));
    // A filter whose seek failed part-way is in no known state: reopen next time.
    closeBackupFile(p);
    return -1;
  }
  size_t done = 0;
  while (done < length) {
    ssize_t n = archive_read(p->backupFile, dst + done, length - done);
    if (n < 0) {
      LOG(0, "%s: Can't read backup %ld at 0x%lX: %s", __func__, long(p->backupNo), at + done,
          strerror(errno));
      closeBackupFile(p);
      return -1;
    }
    if (n == 0) break;
    done += size_t(n);
  }
  return ssize_t(done);
}

// Reads from the single instance store, repeating short reads.
ssize_t readFromSIS(hashedContentsPrivate *p, const HashValue *record, uint8_t *dst,
                    size_t length, uint64_t offset) {
  if (!p->sis) p->sis = openSIS();
  if (!p->sis) return -1;
  size_t done = 0;
  while (done < length) {
    ssize_t n = readSISsubfile(p->sis, dst + done, length - done, record->SISoffset + offset + done,
                               record);
    if (n < 1) {
      LOG(0, "%s: Error or premature end-of-file reading single instance store", __func__);
      break;
    }
    done += size_t(n);
  }
  return done == length ? ssize_t(length) : -1;
}

// The backup path with the read-ahead buffer in front of it.
ssize_t readBuffered(hashedContentsPrivate *p, const HashValue *record, uint8_t *dst, size_t length,
                     uint64_t offset) {
  if (p->bufferHashID == record->hashID && p->bufferHashID && offset >= p->bufferStart &&
      offset < p->bufferStart + p->filled) {
    size_t avail = size_t(p->bufferStart + p->filled - offset);
    const uint8_t *from = p->buffer + (offset - p->bufferStart);
    if (length <= avail) {
      memcpy(dst, from, length);
      LOG(3, "%s: Data found in buffer, transfer %d bytes", __func__, int(length));
      return ssize_t(length);
    }
    memcpy(dst, from, avail);
    LOG(3, "%s: Partial data found in buffer, transfer %d bytes.", __func__, int(avail));
    ssize_t rest = readFromBackup(p, record, dst + avail, length - avail, offset + avail);
    if (rest < 0) {
      p->bufferHashID = 0;
      return -1;
    }
    return ssize_t(avail) + rest;
  }
  uint64_t blockRest = record->hashedLength - offset;
  if (length < blockRest && length < READ_AHEAD_MAX) {
    if (record->hashedLength > p->bufferSize && p->bufferSize < READ_AHEAD_MAX) {
      size_t want = size_t(std::max<uint64_t>(record->hashedLength, maxSubfileBytes(0, 0)));
      want = std::min(want, READ_AHEAD_MAX);
      void *grown = realloc(p->buffer, want);
      if (grown) {
        p->buffer = static_cast<uint8_t *>(grown);
        p->bufferSize = want;
      } else {
        LOG(0, "%s: Failed to allocate %d bytes, continue without buffering.", __func__, int(want));
      }
    }
    if (p->bufferSize > length) {
      p->bufferHashID = 0;
      size_t fill = size_t(std::min<uint64_t>(p->bufferSize, blockRest));
      ssize_t got = readFromBackup(p, record, p->buffer, fill, offset);
      if (got < 0) return -1;
      p->filled = size_t(got);
      p->bufferStart = offset;
      p->bufferHashID = record->hashID;
      size_t n = std::min(length, size_t(got));
      memcpy(dst, p->buffer, n);
      LOG(3, "%s: Data buffered (%d bytes), transfer %d bytes", __func__, int(got), int(n));
      return ssize_t(n);
    }
  }
  ssize_t n = readFromBackup(p, record, dst, length, offset);
  if (n < 0) p->bufferHashID = 0;
  return n;
}

}  // namespace

ssize_t readHashedContents(hashedContentsPrivate **priv, HashValue *record, void *buffer,
                           int64_t length, int64_t offset, int refresh) {
  if (!priv || !record || !buffer || offset < 0) {
    LOG(3, "%s: readHashedContents(%s, %s, %s,, 0x%lX): %s", __func__, priv ? "priv" : "NULL",
        record ? "record" : "NULL", buffer ? "buffer" : "NULL", uint64_t(offset), strerror(EINVAL));
    return -1;
  }
  if (length < 1) return 0;
  if (!*priv) *priv = new (std::nothrow) hashedContentsPrivate;
  hashedContentsPrivate *p = *priv;
  if (!p) {
    LOG(0, "%s: Can't allocate the reading handle", __func__);
    return -1;
  }
  bool idKnown = knowsHashID(record), valueKnown = knowsHashValue(record);
  if (!idKnown || refresh) {
    // The lookup keys on the "in" bits; what an earlier lookup filled in
    // counts as given. Afterwards only what the index filled counts.
    record->flags |= uint8_t((record->flags & 0xF0) >> 4);
    if (getHashValues(&p->values, record, 1) != 0) return -1;
    idKnown = record->flags & hashID_out;
    valueKnown = record->flags & hashValue_out;
  }
  if (!idKnown && !valueKnown) {
    LOG(0, "%s: ERROR: Can't get hash value.", __func__);
    return -1;
  }
  if (!idKnown) return 0;
  if (uint64_t(offset) >= record->hashedLength) return 0;
  size_t want = size_t(std::min<uint64_t>(uint64_t(length), record->hashedLength - uint64_t(offset)));
  uint8_t *dst = static_cast<uint8_t *>(buffer);
  if (inSIS(record)) return readFromSIS(p, record, dst, want, uint64_t(offset));
  return readBuffered(p, record, dst, want, uint64_t(offset));
}

int closeHashedContents(hashedContentsPrivate **priv) {
  if (!priv || !*priv) {
    LOG(0, "%s: closeHashedContents(NULL): %s", __func__, strerror(EINVAL));
    return -1;
  }
  hashedContentsPrivate *p = *priv;
  free(p->buffer);
  if (p->sis) freeSIS(p->sis);
  closeBackupFile(p);
  if (p->values) freeHashValuesPrivate(p->values);
  if (p->metadata) freeMetadataPrivate(&p->metadata, 0);
  delete p;
  *priv = nullptr;
  return 0;
}

// ---- Hash locks -----------------------------------------------------------------

int getLockedHashState(hashLockState **state) {
  if (*state) return 0;
  std::string path = sysPath("/dev/shm/.hashLockFile");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    LOG(0, "%s: open(%s): %s", __func__, path.c_str(), strerror(errno));
    return -1;
  }
  *state = new hashLockState{fd};
  return 0;
}

namespace {

int doTheLock(const char *caller, hashLockState **state, const HashValue *records, int count,
              short type) {
  if (!state) {
    LOG(0, "%s(NULL,,)", caller);
    return -1;
  }
  if (getLockedHashState(state) != 0) {
    LOG(0, "%s: Can't get locked hash state", caller);
    return -1;
  }
  int fd = (*state)->fd;
  int taken = 0;
  int i = 0;
  for (; i < count; i++) {
    if (!(records[i].flags & hashID_in)) continue;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = off_t(records[i].hashID & HASH_LOCK_MASK);
    fl.l_len = 1;
    if (fcntl(fd, F_SETLK, &fl) == 0) {
      taken++;
      continue;
    }
    if (errno != EAGAIN && errno != EACCES) {
      LOG(0, "%s: fcntl(%s, F_SETLK): %s", caller, "/dev/shm/.hashLockFile", strerror(errno));
      return -1;
    }
    // Waiting while holding others could deadlock against a process that
    // takes them in another order: give back the count instead.
    if (taken > 0) return i;
    int rc;
    do rc = fcntl(fd, F_SETLKW, &fl);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      LOG(0, "%s: fcntl(%s, F_SETLKW): %s", caller, "/dev/shm/.hashLockFile", strerror(errno));
      return -1;
    }
    taken++;
  }
  return i;
}

}  // namespace

int lockHashValuesShared(hashLockState **state, const HashValue *records, int count) {
  return doTheLock(__func__, state, records, count, F_RDLCK);
}

int lockHashValuesExclusive(hashLockState **state, const HashValue *records, int count) {
  return doTheLock(__func__, state, records, count, F_WRLCK);
}

int unlockHashValues(hashLockState **state, const HashValue *records, int count) {
  return doTheLock(__func__, state, records, count, F_UNLCK);
}

void freeLockedHashState(hashLockState **state) {
  if (!state || !*state) return;
  if ((*state)->fd >= 0) close((*state)->fd);
  delete *state;
  *state = nullptr;
}

// ---- Hash contexts -----------------------------------------------------------------

int initializeHashContext(hashContext **context) {
  if (!context) {
    LOG(0, "initializeHashContext(NULL): %s", strerror(EINVAL));
    return -1;
  }
  if (!*context) {
    *context = new (std::nothrow) hashContext;
    if (!*context) {
      LOG(0, "initializeHashContext: malloc(%zd) failed", sizeof(hashContext));
      return -1;
    }
  }
  hashContext *c = *context;
  c->hashType = HASH_TYPE_SHA512;
  memset(c->typeName, 0, sizeof c->typeName);
  memcpy(c->typeName, "sha512", 6);
  memset(c->hashValue, 0, sizeof c->hashValue);
  int rc = USHAReset(&c->usha, c->hashType);
  if (rc != shaSuccess) {
    LOG(0, "initializeHashContext: USHAReset(, %d): %d", c->hashType, rc);
    return -1;
  }
  return 0;
}

int addToHashContext(hashContext *context, const void *data, size_t length) {
  if (!context || (!data && length)) {
    LOG(0, "addToHashContext(NULL): %s", strerror(EINVAL));
    return -1;
  }
  int rc = USHAInput(&context->usha, static_cast<const uint8_t *>(data), length);
  if (rc != shaSuccess) {
    LOG(0, "addToHashContext: USHAInput(): %d", rc);
    return -1;
  }
  return 0;
}

int hashFromHashContext(hashContext *context) {
  if (!context) {
    LOG(0, "hashFromHashContext(NULL): %s", strerror(EINVAL));
    return -1;
  }
  int rc = USHAResult(&context->usha, context->hashValue);
  if (rc != shaSuccess) {
    LOG(0, "hashFromHashContext: USHAResult(): %d", rc);
    return -1;
  }
  return 0;
}

void freeHashContext(hashContext *context) { delete context; }

int hashSizeOfRecord(const HashValue *record) {
  return record && strncmp(record->hashType, "sha512", HASH_TYPE_SIZE) == 0 ? 64 : 0;
}
