// metadata.cpp: the metadata store's core: opening and closing under the
// store lock, the lock shadow, lazy block mappings, the free map, the
// hopscotch indexes, the file-lock stack and the record locks.
#include "dedup/metadata.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <new>

#include "dedup/metadataInternal.h"
#include "dedup/metadataSignals.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/syspath.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "free map words are changed in place by atomic operations on little-endian words");

// Next block to try when allocating; process-wide, lowered when a block is
// given back so that freed blocks are reused first.
static std::atomic<uint64_t> g_blockHint{1};

// ---------------------------------------------------------------------------
// Field access and record codecs.
// ---------------------------------------------------------------------------

uint64_t mdGet64(const uint8_t *p, size_t off) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[off + i];
  return v;
}

void mdPut64(uint8_t *p, size_t off, uint64_t v) {
  for (int i = 0; i < 8; i++) p[off + i] = uint8_t(v >> (8 * i));
}

int memIsZero(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i]) return 0;
  return 1;
}

void decodeHashDetail(const uint8_t *p, hashDetail *d) {
  d->hashID = mdGet64(p, mdl::DETAIL_HASH_ID);
  d->firstRef = mdGet64(p, mdl::DETAIL_FIRST_REF);
  d->collision = mdGet64(p, mdl::DETAIL_COLLISION);
  memcpy(d->hashType, p + mdl::DETAIL_HASH_TYPE, 8);
  d->hashedLength = mdGet64(p, mdl::DETAIL_HASHED_LENGTH);
  memcpy(d->hashValue, p + mdl::DETAIL_HASH_VALUE, 64);
  d->SISoffset = mdGet64(p, mdl::DETAIL_SIS_OFFSET);
  d->SISref = mdGet64(p, mdl::DETAIL_SIS_REF);
  d->compressedLength = mdGet64(p, mdl::DETAIL_COMPRESSED);
  d->flags = mdGet64(p, mdl::DETAIL_FLAGS);
}

void encodeHashDetail(uint8_t *p, const hashDetail *d) {
  memset(p, 0, mdl::DETAIL_BYTES);
  memcpy(p + mdl::DETAIL_SIG, mdl::DETAIL_SIGNATURE, 8);
  mdPut64(p, mdl::DETAIL_HASH_ID, d->hashID);
  mdPut64(p, mdl::DETAIL_FIRST_REF, d->firstRef);
  mdPut64(p, mdl::DETAIL_SPARE24, mdl::NONE);
  mdPut64(p, mdl::DETAIL_SPARE32, mdl::NONE);
  mdPut64(p, mdl::DETAIL_COLLISION, d->collision);
  memcpy(p + mdl::DETAIL_HASH_TYPE, d->hashType, 8);
  mdPut64(p, mdl::DETAIL_HASHED_LENGTH, d->hashedLength);
  memcpy(p + mdl::DETAIL_HASH_VALUE, d->hashValue, 64);
  mdPut64(p, mdl::DETAIL_SIS_OFFSET, d->SISoffset);
  mdPut64(p, mdl::DETAIL_SIS_REF, d->SISref);
  mdPut64(p, mdl::DETAIL_COMPRESSED, d->compressedLength);
  mdPut64(p, mdl::DETAIL_FLAGS, d->flags);
}

void decodeHashedBackup(const uint8_t *p, hashedBackup *b) {
  b->backupNo = mdGet64(p, mdl::BACKUP_NUMBER);
  b->root = mdGet64(p, mdl::BACKUP_ROOT);
  b->overflow = mdGet64(p, mdl::BACKUP_OVERFLOW);
  b->refCount = mdGet64(p, mdl::BACKUP_REFCOUNT);
}

void encodeHashedBackup(uint8_t *p, const hashedBackup *b) {
  memset(p, 0, mdl::BACKUP_RECORD_BYTES);
  memcpy(p + mdl::BACKUP_SIG, mdl::BACKUP_SIGNATURE, 8);
  mdPut64(p, mdl::BACKUP_NUMBER, b->backupNo);
  mdPut64(p, mdl::BACKUP_ROOT, b->root);
  mdPut64(p, mdl::BACKUP_OVERFLOW, b->overflow);
  mdPut64(p, mdl::BACKUP_REFCOUNT, b->refCount);
}

void decodeHashReference(const uint8_t *p, hashReference *r) {
  r->backupNo = mdGet64(p, mdl::REF_BACKUP);
  r->position = mdGet64(p, mdl::REF_POSITION);
  r->occurrence = mdGet64(p, mdl::REF_OCCURRENCE);
  r->detail = mdGet64(p, mdl::ENTRY_DETAIL);
  r->next = mdGet64(p, mdl::REF_NEXT);
  r->ring = mdGet64(p, mdl::ENTRY_RING);
  r->flags = mdGet64(p, mdl::ENTRY_FLAGS);
}

// Fills a whole entry (signature, the -1 words of a fresh entry, the fields).
void encodeHashReference(uint8_t *p, const hashReference *r) {
  memset(p, 0, mdl::ENTRY_BYTES);
  memcpy(p + mdl::ENTRY_SIG, mdl::HASHREF_SIGNATURE, 8);
  memset(p + 8, 0xFF, 40);
  mdPut64(p, mdl::REF_BACKUP, r->backupNo);
  mdPut64(p, mdl::REF_POSITION, r->position);
  mdPut64(p, mdl::REF_OCCURRENCE, r->occurrence);
  mdPut64(p, mdl::ENTRY_DETAIL, r->detail);
  mdPut64(p, mdl::REF_NEXT, r->next);
  mdPut64(p, mdl::ENTRY_RING, r->ring);
  mdPut64(p, mdl::ENTRY_FLAGS, r->flags);
}

uint64_t metadataBlockSize(const metadataPrivate *h) { return h->blockSize; }

// ---------------------------------------------------------------------------
// Files.
// ---------------------------------------------------------------------------

static int makeDirs(const std::string &path) {
  for (size_t i = 1; i < path.size(); i++) {
    if (path[i] != '/') continue;
    std::string part = path.substr(0, i);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
  }
  return 0;
}

// Opens a store file without access-time updates (O_NOATIME is refused for
// files of other owners; the open is then repeated without it).
static int openStoreFile(const std::string &path, int flags) {
  if (makeDirs(path) != 0) {
    LOG(0, "%s(): mkdir for %s: %s", __func__, path.c_str(), strerror(errno));
    return -1;
  }
  int fd = open(path.c_str(), flags | O_CREAT | O_NOATIME | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) LOG(0, "%s(): open(%s): %s", __func__, path.c_str(), strerror(errno));
  return fd;
}

static int deriveDirectory(metadataPrivate *h) {
  char buf[256];
  iniGetString("fileDedup", "MetadataDirectory", "", buf, sizeof buf, g_master_ini);
  if (!buf[0]) {
    LOG(0, "%s():  Can't derive metadata directory path", __func__);
    return -1;
  }
  h->dir = buf;
  if (h->dir.back() != '/') h->dir += '/';
  return 0;
}

// Takes the store-wide flock as the mode asks.
static int lockMetadata(metadataPrivate *h, int mode) {
  std::string path = h->dir + "metadataLock";
  h->lockFd = openStoreFile(path, O_WRONLY);
  if (h->lockFd < 0) return -1;
  int op;
  const char *opName;
  if (mode == 0) {
    op = LOCK_SH | LOCK_NB;
    opName = "LOCK_SH|LOCK_NB";
  } else if (mode == 4) {
    op = LOCK_EX;
    opName = "LOCK_EX";
  } else {
    op = LOCK_EX | LOCK_NB;
    opName = "LOCK_EX|LOCK_NB";
  }
  while (flock(h->lockFd, op) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) LOG(0, "%s():  Can't lock metadata. Incompatible lock held by another process.", __func__);
    LOG(0, "%s():  flock(%s, %s): %s", __func__, path.c_str(), opName, strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(h->lockFd, &st) != 0) {
    LOG(0, "%s():  fstat(%s): %s", __func__, path.c_str(), strerror(errno));
    return -1;
  }
  if (mode == 0 && st.st_size != 0) {
    LOG(0, "%s():  Metadata lock file must be 0 bytes but is %ld bytes.", __func__, (long)st.st_size);
    return -1;
  }
  // An interrupted exclusive operation leaves the lock file non-empty, which
  // keeps shared users out until an exclusive user ends with mode 3.
  if ((mode == 2 || mode == 4) && ftruncate(h->lockFd, st.st_blksize) != 0) {
    LOG(0, "%s():  ftruncate(%s): %s", __func__, path.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Lock shadow (crash markers).
// ---------------------------------------------------------------------------

static uint32_t get32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
static void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

static int openShadow(metadataPrivate *h) {
  std::string path = h->dir + "metadataBlockLockShadow";
  h->shadowFd = openStoreFile(path, O_RDWR);
  if (h->shadowFd < 0) return -1;
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (pushFileLock(h, h->shadowFd, "lock shadow", F_SETLKW, &fl) != 0) return -1;
  int rc = 0;
  struct stat st;
  if (fstat(h->shadowFd, &st) != 0 || (st.st_size < (off_t)mdl::SHADOW_BYTES &&
                                       ftruncate(h->shadowFd, mdl::SHADOW_BYTES) != 0)) {
    LOG(0, "%s():  ftruncate(%s, 0x%lX): %s", __func__, path.c_str(), (unsigned long)mdl::SHADOW_BYTES,
        strerror(errno));
    rc = -1;
  }
  if (rc == 0) {
    void *a = mmap(nullptr, mdl::SHADOW_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, h->shadowFd, 0);
    if (a == MAP_FAILED) {
      LOG(0, "%s():  mmap(, %zd,,, %s, 0): %s", __func__, mdl::SHADOW_BYTES, path.c_str(), strerror(errno));
      rc = -1;
    } else {
      h->shadow = static_cast<uint8_t *>(a);
      uint32_t version = get32(h->shadow + mdl::SHADOW_VERSION);
      if (version == 0 && get32(h->shadow + mdl::SHADOW_HIGH_WATER) == 0) {
        put32(h->shadow + mdl::SHADOW_VERSION, mdl::SHADOW_VERSION_VALUE);
      } else if (version != mdl::SHADOW_VERSION_VALUE) {
        LOG(0, "%s():  Block lock shadow version mismatch:  %u != %u", __func__, version,
            mdl::SHADOW_VERSION_VALUE);
        rc = -1;
      }
    }
  }
  popFileLock(h, h->shadowFd, &fl);
  return rc;
}

// The command line of this process as it goes into shadow slots: read once,
// NUL separators turned into blanks, at most 40 bytes.
static const char *processCommandLine() {
  static char cmd[mdl::SHADOW_CMDLINE_BYTES + 1];
  static std::atomic<bool> done{false};
  if (!done.load()) {
    char buf[mdl::SHADOW_CMDLINE_BYTES + 1] = {};
    FILE *f = fopen("/proc/self/cmdline", "r");
    if (f) {
      size_t n = fread(buf, 1, mdl::SHADOW_CMDLINE_BYTES, f);
      fclose(f);
      for (size_t i = 0; i < n; i++)
        if (buf[i] == 0) buf[i] = ' ';
    }
    memcpy(cmd, buf, sizeof cmd);
    done.store(true);
  }
  return cmd;
}

static uint8_t *shadowSlot(metadataPrivate *h, size_t s) {
  return h->shadow + mdl::SHADOW_SLOTS + s * mdl::SHADOW_SLOT_BYTES;
}

static int64_t findShadowSlot(metadataPrivate *h, uint64_t offset) {
  uint32_t hw = std::min<uint32_t>(get32(h->shadow + mdl::SHADOW_HIGH_WATER), mdl::SHADOW_SLOT_COUNT);
  for (uint32_t s = 0; s < hw; s++) {
    uint64_t word = mdGet64(shadowSlot(h, s), 0);
    if ((word & 1) && (word & ~1ULL) == offset) return s;
  }
  return -1;
}

int checkMetadataLockShadow(metadataPrivate *h, uint64_t offset, int set) {
  if (!h->shadow) return -1;
  if (!set) return findShadowSlot(h, offset) >= 0 ? 1 : 0;
  reallyBlockSignals();
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  int rc = pushFileLock(h, h->shadowFd, "lock shadow", F_SETLKW, &fl);
  if (rc != 0) {
    reallyUnblockSignals();
    return -1;
  }
  if (findShadowSlot(h, offset) >= 0) {
    rc = 1;
  } else {
    uint32_t hw = get32(h->shadow + mdl::SHADOW_HIGH_WATER);
    uint32_t limit = std::min<uint32_t>(hw + 1, mdl::SHADOW_SLOT_COUNT);
    int64_t freeSlot = -1;
    for (uint32_t s = 0; s < limit && freeSlot < 0; s++)
      if ((mdGet64(shadowSlot(h, s), 0) & 1) == 0) freeSlot = s;
    if (freeSlot < 0) {
      LOG(0, "%s():  We've run out of block lock shadow slots", __func__);
      rc = -1;
    } else {
      uint8_t *slot = shadowSlot(h, freeSlot);
      memset(slot, 0, mdl::SHADOW_SLOT_BYTES);
      mdPut64(slot, 0, offset | 1);
      mdPut64(slot, mdl::SHADOW_SLOT_PID, (uint64_t)getpid());
      mdPut64(slot, mdl::SHADOW_SLOT_TIME, (uint64_t)time(nullptr));
      memcpy(slot + mdl::SHADOW_SLOT_CMDLINE, processCommandLine(), mdl::SHADOW_CMDLINE_BYTES);
      if (uint32_t(freeSlot) + 1 > hw) put32(h->shadow + mdl::SHADOW_HIGH_WATER, uint32_t(freeSlot) + 1);
      if (h->synchronize) fdatasync(h->shadowFd);
      LOG(5, "%s():  Shadowed 0x%lX", __func__, (unsigned long)offset);
    }
  }
  popFileLock(h, h->shadowFd, &fl);
  reallyUnblockSignals();
  return rc;
}

int clearMetadataLockShadow(metadataPrivate *h, uint64_t offset) {
  if (!h->shadow) return -1;
  // The change being unmarked must be on disk before its marker goes.
  if (h->synchronize) syncMetadataBlocks(h);
  reallyBlockSignals();
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (pushFileLock(h, h->shadowFd, "lock shadow", F_SETLKW, &fl) != 0) {
    reallyUnblockSignals();
    return -1;
  }
  int64_t s = findShadowSlot(h, offset);
  if (s >= 0) {
    memset(shadowSlot(h, s), 0, mdl::SHADOW_SLOT_BYTES);
    uint32_t hw = get32(h->shadow + mdl::SHADOW_HIGH_WATER);
    while (hw > 0 && (mdGet64(shadowSlot(h, hw - 1), 0) & 1) == 0) hw--;
    put32(h->shadow + mdl::SHADOW_HIGH_WATER, hw);
    if (h->synchronize) fdatasync(h->shadowFd);
    LOG(5, "%s():  Unshadowed 0x%lX", __func__, (unsigned long)offset);
  }
  popFileLock(h, h->shadowFd, &fl);
  reallyUnblockSignals();
  return 0;
}

// ---------------------------------------------------------------------------
// File-lock stack.
// ---------------------------------------------------------------------------

static const char *commandName(int command) {
  return command == F_SETLK ? "F_SETLK" : command == F_SETLKW ? "F_SETLKW" : "F_GETLK";
}

int pushFileLock(metadataPrivate *h, int fd, const char *name, int command, struct flock *lock) {
  if (h->fileLockCount >= mdl::MAX_FILE_LOCKS) {
    LOG(0, "%s():  Too many simultaneous file locks", __func__);
    return -1;
  }
  char defaultName[64];
  if (!name) {
    snprintf(defaultName, sizeof defaultName, "fd:%d@0x%lX", fd, (unsigned long)lock->l_start);
    name = defaultName;
  }
  bool write = lock->l_type == F_WRLCK;
  if (write) blockSignals();
  while (fcntl(fd, command, lock) != 0) {
    if (errno == EINTR && command == F_SETLKW) continue;
    int err = errno;
    if (write) unblockSignals();
    if (command == F_SETLK && (err == EAGAIN || err == EACCES)) return 1;
    LOG(0, "%s():  fcntl(%s, %s): %s", __func__, name, commandName(command), strerror(err));
    return -1;
  }
  if (command == F_GETLK) {
    if (write) unblockSignals();
    return 0;
  }
  fileLockEntry &e = h->fileLocks[h->fileLockCount++];
  e.fd = fd;
  e.name = strdup(name);
  e.lock = *lock;
  LOG(5, "%s():  Locked %s at 0x%lX", __func__, name, (unsigned long)lock->l_start);
  return 0;
}

static bool sameLock(const fileLockEntry &e, int fd, const struct flock *lock) {
  return e.fd == fd && e.lock.l_start == lock->l_start && e.lock.l_len == lock->l_len;
}

int popFileLock(metadataPrivate *h, int fd, struct flock *lock) {
  if (h->fileLockCount == 0 || !sameLock(h->fileLocks[h->fileLockCount - 1], fd, lock)) {
    for (int i = 0; i < h->fileLockCount; i++) {
      if (sameLock(h->fileLocks[i], fd, lock)) {
        LOG(0, "%s():  Not popping the most recent file lock!  %s not %s", __func__, h->fileLocks[i].name,
            h->fileLocks[h->fileLockCount - 1].name);
        return -1;
      }
    }
    LOG(0, "%s():  File lock to pop at 0x%lX not on list!", __func__, (unsigned long)lock->l_start);
    return -1;
  }
  fileLockEntry &e = h->fileLocks[--h->fileLockCount];
  struct flock un = e.lock;
  un.l_type = F_UNLCK;
  int rc = 0;
  if (fcntl(fd, F_SETLK, &un) != 0) {
    LOG(0, "%s():  fcntl(%s, %s): %s", __func__, e.name, "F_SETLK", strerror(errno));
    rc = -1;
  } else {
    LOG(5, "%s():  Unlocked %s at 0x%lX", __func__, e.name, (unsigned long)e.lock.l_start);
  }
  bool write = e.lock.l_type == F_WRLCK;
  free(e.name);
  e.name = nullptr;
  if (write) unblockSignals();
  return rc;
}

int metadataFileLockDepth(const metadataPrivate *h) { return h->fileLockCount; }

static int openRecordLockFile(metadataPrivate *h) {
  if (h->recordLockFd >= 0) return 0;
  std::string path = sysPath("/dev/shm/.metadataBlockLockFile");
  if (makeDirs(path) != 0) {
    LOG(0, "%s():  mkdir for %s: %s", __func__, path.c_str(), strerror(errno));
    return -1;
  }
  h->recordLockFd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (h->recordLockFd < 0) {
    LOG(0, "%s():  open(%s): %s", __func__, path.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int metadataRecordLockFd(metadataPrivate *h) {
  return openRecordLockFile(h) == 0 ? h->recordLockFd : -1;
}

int lockRecordRange(metadataPrivate *h, uint64_t offset, uint64_t length, short type, struct flock *fl) {
  if (openRecordLockFile(h) != 0) return -1;
  memset(fl, 0, sizeof *fl);
  fl->l_type = type;
  fl->l_whence = SEEK_SET;
  fl->l_start = (off_t)offset;
  fl->l_len = (off_t)length;
  char name[64];
  if (offset == 0)
    snprintf(name, sizeof name, "super block");
  else
    snprintf(name, sizeof name, "block @0x%lX", (unsigned long)offset);
  return pushFileLock(h, h->recordLockFd, name, F_SETLKW, fl);
}

int unlockRecordRange(metadataPrivate *h, struct flock *fl) { return popFileLock(h, h->recordLockFd, fl); }

int lockSuperBlock(metadataPrivate *h, struct flock *fl) {
  if (lockRecordRange(h, 0, 8, F_WRLCK, fl) != 0) return -1;
  int s = checkMetadataLockShadow(h, 0, 1);
  if (s != 0) {
    if (s == 1) LOG(0, "%s():  Super block locked -- repair metadata", __func__);
    unlockRecordRange(h, fl);
    return -1;
  }
  return 0;
}

int unlockSuperBlock(metadataPrivate *h, struct flock *fl) {
  int rc = 0;
  if (clearMetadataLockShadow(h, 0) != 0) {
    LOG(0, "%s():  Couldn't clear super block lock shadow", __func__);
    rc = -1;
  }
  if (unlockRecordRange(h, fl) != 0) rc = -1;
  return rc;
}

int lockAndVerifyHashedBackup(metadataPrivate *h, struct flock *fl, uint64_t offset, short type) {
  if (lockRecordRange(h, offset, mdl::BACKUP_RECORD_BYTES, type, fl) != 0) return -1;
  uint8_t *p = blockOffsetToPtr(h, offset);
  int rc = 0;
  if (!p) {
    LOG(0, "%s():  Can't find offset of hashed backup!", __func__);
    rc = -1;
  } else if (memcmp(p, mdl::BACKUP_SIGNATURE, 8) != 0) {
    LOG(0, "%s():  Not a hashed backup at 0x%lX", __func__, (unsigned long)offset);
    rc = -1;
  } else {
    int s = checkMetadataLockShadow(h, offset, type == F_WRLCK ? 1 : 0);
    if (s != 0) {
      if (s == 1) LOG(0, "%s():  Backup %lu is locked -- repair metadata", __func__,
                      (unsigned long)mdGet64(p, mdl::BACKUP_NUMBER));
      rc = -1;
    }
  }
  if (p) freeBlockPtr(h, p);
  if (rc != 0) unlockRecordRange(h, fl);
  return rc;
}

int unlockHashedBackup(metadataPrivate *h, struct flock *fl, uint64_t offset) {
  int rc = 0;
  if (fl->l_type == F_WRLCK && clearMetadataLockShadow(h, offset) != 0) rc = -1;
  if (unlockRecordRange(h, fl) != 0) {
    LOG(0, "%s():  Can't unlock backup", __func__);
    rc = -1;
  }
  return rc;
}

int lockHashDetail(metadataPrivate *h, struct flock *fl, uint64_t offset, short type, HashValue *record,
                   int compare) {
  if (lockRecordRange(h, offset, mdl::DETAIL_BYTES, type, fl) != 0) return -1;
  uint8_t *p = blockOffsetToPtr(h, offset);
  int rc = 0;
  if (!p) {
    rc = -1;
  } else if (memcmp(p, mdl::DETAIL_SIGNATURE, 8) != 0) {
    LOG(0, "%s():  hashDetails structure went away", __func__);
    rc = -2;
  } else {
    int s = checkMetadataLockShadow(h, offset, type == F_WRLCK ? 1 : 0);
    if (s != 0) {
      if (s == 1) LOG(0, "%s():  hashDetails at 0x%lX locked -- repair metadata", __func__, (unsigned long)offset);
      rc = -1;
    } else if (compare && record && hashDetailToHashValue(record, p) != 0) {
      LOG(0, "%s():  hashValue doesn't match hashDetails", __func__);
      if (type == F_WRLCK) clearMetadataLockShadow(h, offset);
      rc = -2;
    }
  }
  if (p) freeBlockPtr(h, p);
  if (rc != 0) unlockRecordRange(h, fl);
  return rc;
}

int unlockHashDetail(metadataPrivate *h, struct flock *fl, uint64_t offset) {
  int rc = 0;
  if (fl->l_type == F_WRLCK && clearMetadataLockShadow(h, offset) != 0) {
    LOG(0, "%s():  Couldn't clear hashDetails lock shadow @%lX", __func__, (unsigned long)offset);
    rc = -1;
  }
  if (unlockRecordRange(h, fl) != 0) rc = -1;
  return rc;
}

// ---------------------------------------------------------------------------
// Block mappings.
// ---------------------------------------------------------------------------

// Most windows a handle keeps mapped; beyond it, the least recently used
// window without handed-out pointers is unmapped.
static constexpr size_t kMaxWindows = 32;

static int openBlockFile(metadataPrivate *h) {
  if (h->blockFd >= 0) return 0;
  char name[64];
  snprintf(name, sizeof name, "metadataBlocks-%016lX", 0UL);
  h->blockFd = openStoreFile(h->dir + name, O_RDWR);
  return h->blockFd >= 0 ? 0 : -1;
}

// Makes the block file at least `end` bytes long, under a write lock on
// the range from its old end.
static int extendBlockFile(metadataPrivate *h, uint64_t end) {
  struct stat st;
  if (fstat(h->blockFd, &st) != 0) return -1;
  if ((uint64_t)st.st_size >= end) return 0;
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = st.st_size;
  if (pushFileLock(h, h->blockFd, "block file end", F_SETLKW, &fl) != 0) return -1;
  int rc = 0;
  if (fstat(h->blockFd, &st) == 0 && (uint64_t)st.st_size < end) {
    uint64_t from = st.st_size;
    if (fallocate(h->blockFd, 0, (off_t)from, (off_t)(end - from)) != 0) {
      int err = posix_fallocate(h->blockFd, (off_t)from, (off_t)(end - from));
      if (err != 0) {
        LOG(0, "%s():  posix_fallocate(%s, 0x%lX,0x%lX): %s", __func__, "metadataBlocks",
            (unsigned long)from, (unsigned long)(end - from), strerror(err));
        rc = -1;
      }
    }
  }
  popFileLock(h, h->blockFd, &fl);
  return rc;
}

static void evictWindowIfNeeded(metadataPrivate *h) {
  if (h->windows.size() < kMaxWindows) return;
  size_t victim = h->windows.size();
  for (size_t i = 0; i < h->windows.size(); i++) {
    if (h->windows[i].count != 0) continue;
    if (victim == h->windows.size() || h->windows[i].lastUse < h->windows[victim].lastUse) victim = i;
  }
  if (victim == h->windows.size()) return;
  munmap(h->windows[victim].addr, h->windows[victim].length);
  h->windows.erase(h->windows.begin() + victim);
}

// Maps a window around the block at offset; returns its index or -1.
static int mapMetadataBlock(metadataPrivate *h, uint64_t offset) {
  if (openBlockFile(h) != 0) return -1;
  evictWindowIfNeeded(h);
  const uint64_t bs = h->blockSize;
  uint64_t b = offset / bs;
  uint64_t lowerEnd = 0, upperStart = UINT64_MAX;
  for (const blockWindow &w : h->windows) {
    uint64_t ws = w.offset / bs, we = (w.offset + w.length) / bs;
    if (we <= b) lowerEnd = std::max(lowerEnd, we);
    if (ws > b) upperStart = std::min(upperStart, ws);
  }
  uint64_t start = b >= mdl::WINDOW_LEAD_BLOCKS ? b - mdl::WINDOW_LEAD_BLOCKS : 0;
  if (start < lowerEnd + mdl::WINDOW_LEAD_BLOCKS) start = lowerEnd;
  uint64_t end = start + mdl::WINDOW_BLOCKS;
  if (end > upperStart) {
    start = upperStart >= mdl::WINDOW_BLOCKS ? std::max(lowerEnd, upperStart - mdl::WINDOW_BLOCKS) : lowerEnd;
    end = std::min(start + mdl::WINDOW_BLOCKS, upperStart);
  }
  if (b < start || b >= end) {
    LOG(0, "%s():  bad bounds", __func__);
    return -1;
  }
  if (extendBlockFile(h, end * bs) != 0) return -1;
  void *a = mmap(nullptr, (end - start) * bs, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE,
                 h->blockFd, (off_t)(start * bs));
  if (a == MAP_FAILED) {
    LOG(0, "%s():  mmap(, %zd,,, %s, 0x%lX): %s", __func__, (size_t)((end - start) * bs), "metadataBlocks",
        (unsigned long)(start * bs), strerror(errno));
    return -1;
  }
  blockWindow w = {start * bs, (end - start) * bs, static_cast<uint8_t *>(a), 0, 0};
  auto it = std::lower_bound(h->windows.begin(), h->windows.end(), w.offset,
                             [](const blockWindow &x, uint64_t off) { return x.offset < off; });
  it = h->windows.insert(it, w);
  return int(it - h->windows.begin());
}

uint8_t *blockOffsetToPtr(metadataPrivate *h, uint64_t offset) {
  if (offset >= (1ULL << 62)) return nullptr;
  if (openRecordLockFile(h) != 0) return nullptr;
  int found = -1;
  for (size_t i = 0; i < h->windows.size(); i++) {
    const blockWindow &w = h->windows[i];
    if (offset >= w.offset && offset < w.offset + w.length) {
      found = int(i);
      break;
    }
  }
  if (found < 0) found = mapMetadataBlock(h, offset);
  if (found < 0) return nullptr;
  blockWindow &w = h->windows[found];
  w.count++;
  w.lastUse = ++h->useTick;
  LOG(5, "%s(, 0x%lX):  count %d", __func__, (unsigned long)offset, w.count);
  return w.addr + (offset - w.offset);
}

void freeBlockPtr(metadataPrivate *h, const uint8_t *ptr) {
  for (blockWindow &w : h->windows) {
    if (ptr >= w.addr && ptr < w.addr + w.length) {
      if (w.count > 0) w.count--;
      w.lastUse = ++h->useTick;
      return;
    }
  }
}

int metadataMappedWindows(const metadataPrivate *h) { return int(h->windows.size()); }

int metadataOutstandingPointers(const metadataPrivate *h) {
  int n = 0;
  for (const blockWindow &w : h->windows) n += w.count;
  return n;
}

static void closeBlockMapping(metadataPrivate *h) {
  for (const blockWindow &w : h->windows) {
    if (w.count != 0)
      LOG(0, "%s():  There %s still %d block mapping%s between 0x%lX and 0x%lX", __func__,
          w.count == 1 ? "is" : "are", w.count, w.count == 1 ? "" : "s", (unsigned long)w.offset,
          (unsigned long)(w.offset + w.length));
    munmap(w.addr, w.length);
  }
  h->windows.clear();
}

// ---------------------------------------------------------------------------
// Free map.
// ---------------------------------------------------------------------------

// Makes the free map cover at least `blocks` blocks and maps all of it.
static int ensureFreeMap(metadataPrivate *h, uint64_t blocks) {
  if (h->freeMapFd < 0) {
    h->freeMapFd = openStoreFile(h->dir + "metadataFreeMap", O_RDWR);
    if (h->freeMapFd < 0) return -1;
  }
  uint64_t want = (blocks + 7) / 8;
  want = std::max<uint64_t>((want + h->blockSize - 1) / h->blockSize * h->blockSize, h->blockSize);
  struct stat st;
  if (fstat(h->freeMapFd, &st) != 0) return -1;
  if ((uint64_t)st.st_size < want) {
    // posix_fallocate never shrinks the file, so concurrent growers agree.
    int err = posix_fallocate(h->freeMapFd, 0, (off_t)want);
    if (err != 0) {
      LOG(0, "%s():  posix_fallocate(%s, 0x%lX,0x%lX): %s", __func__, "metadataFreeMap", 0UL,
          (unsigned long)want, strerror(err));
      return -1;
    }
    if (fstat(h->freeMapFd, &st) != 0) return -1;
  }
  if (h->freeMap && h->freeMapLength >= (uint64_t)st.st_size) return 0;
  if (h->freeMap) munmap(h->freeMap, h->freeMapLength);
  void *a = mmap(nullptr, st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, h->freeMapFd, 0);
  if (a == MAP_FAILED) {
    h->freeMap = nullptr;
    h->freeMapLength = 0;
    LOG(0, "%s():  mmap(, %zd,,, %s, 0): %s", __func__, (size_t)st.st_size, "metadataFreeMap", strerror(errno));
    return -1;
  }
  h->freeMap = static_cast<uint8_t *>(a);
  h->freeMapLength = st.st_size;
  return 0;
}

// Sets (or clears) the bit of block b by compare-and-swap. 1 when this call
// changed it, 0 when it already had that state.
static int changeFreeMapBit(metadataPrivate *h, uint64_t b, bool set) {
  uint64_t *word = reinterpret_cast<uint64_t *>(h->freeMap + 8 * (b / 64));
  uint64_t mask = 1ULL << (b % 64);
  uint64_t old = __atomic_load_n(word, __ATOMIC_ACQUIRE);
  for (;;) {
    if (set == ((old & mask) != 0)) return 0;
    uint64_t nw = set ? (old | mask) : (old & ~mask);
    if (__atomic_compare_exchange_n(word, &old, nw, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
      h->freeMapChanges++;
      return 1;
    }
  }
}

int metadataBlockInUse(metadataPrivate *h, uint64_t offset) {
  uint64_t b = offset / h->blockSize;
  if (ensureFreeMap(h, b + 1) != 0) return -1;
  const uint64_t *word = reinterpret_cast<const uint64_t *>(h->freeMap + 8 * (b / 64));
  return (__atomic_load_n(word, __ATOMIC_ACQUIRE) >> (b % 64)) & 1;
}

// Tries to take a clear bit among blocks [from, to). -1 when none.
static int64_t takeClearBit(metadataPrivate *h, uint64_t from, uint64_t to) {
  uint64_t limit = std::min<uint64_t>(to, h->freeMapLength * 8);
  for (uint64_t b = std::max<uint64_t>(from, 1); b < limit;) {
    const uint64_t *word = reinterpret_cast<const uint64_t *>(h->freeMap + 8 * (b / 64));
    uint64_t v = __atomic_load_n(word, __ATOMIC_ACQUIRE) | ((1ULL << (b % 64)) - 1);
    if (v == ~0ULL) {
      b = (b / 64 + 1) * 64;
      continue;
    }
    uint64_t candidate = (b / 64) * 64 + __builtin_ctzll(~v);
    if (candidate >= limit) break;
    if (changeFreeMapBit(h, candidate, true)) return (int64_t)candidate;
    b = candidate;  // lost a race; look again from the same place
  }
  return -1;
}

int64_t getMetadataBlock(metadataPrivate *h) {
  if (ensureFreeMap(h, 2) != 0) return -1;
  const uint64_t bs = h->blockSize;
  int64_t b = -1;
  // Blocks inside windows already mapped, most recently used first: their
  // pages are likely resident and no new mapping is needed.
  std::vector<const blockWindow *> byUse;
  for (const blockWindow &w : h->windows) byUse.push_back(&w);
  std::sort(byUse.begin(), byUse.end(), [](const blockWindow *a, const blockWindow *c) { return a->lastUse > c->lastUse; });
  for (const blockWindow *w : byUse) {
    b = takeClearBit(h, w->offset / bs, (w->offset + w->length) / bs);
    if (b >= 0) break;
  }
  uint64_t hint = g_blockHint.load();
  if (b < 0) b = takeClearBit(h, hint, UINT64_MAX);
  if (b < 0) b = takeClearBit(h, 1, hint);
  while (b < 0) {
    uint64_t oldBlocks = h->freeMapLength * 8;
    if (ensureFreeMap(h, oldBlocks + bs * 8) != 0) return -1;
    b = takeClearBit(h, oldBlocks, UINT64_MAX);
  }
  g_blockHint.store((uint64_t)b + 1);
  uint8_t *p = blockOffsetToPtr(h, (uint64_t)b * bs);
  if (!p) {
    changeFreeMapBit(h, (uint64_t)b, false);
    return -1;
  }
  memset(p, 0, bs);
  freeBlockPtr(h, p);
  LOG(5, "%s() = 0x%lX", __func__, (unsigned long)((uint64_t)b * bs));
  return (int64_t)((uint64_t)b * bs);
}

int freeMetadataBlock(metadataPrivate *h, uint64_t offset) {
  uint64_t b = offset / h->blockSize;
  if (b == 0 || ensureFreeMap(h, b + 1) != 0) return -1;
  changeFreeMapBit(h, b, false);
  uint64_t hint = g_blockHint.load();
  while (b < hint && !g_blockHint.compare_exchange_weak(hint, b)) {
  }
  return 0;
}

void syncMetadataBlocks(metadataPrivate *h) {
  if (h->freeMapChanges && h->freeMapFd >= 0) {
    if (fdatasync(h->freeMapFd) != 0) LOG(0, "%s():  fdatasync(free map): %s", __func__, strerror(errno));
    h->freeMapChanges = 0;
  }
  if (h->blockFd >= 0 && fdatasync(h->blockFd) != 0)
    LOG(0, "%s():  fdatasync(metadata blocks): %s", __func__, strerror(errno));
}

// ---------------------------------------------------------------------------
// Indexes.
// ---------------------------------------------------------------------------

static const char *indexFile(metadataIndexKind kind) {
  return kind == MD_HASH_ID_INDEX ? "metadataHashIDindex"
         : kind == MD_HASH_VALUE_INDEX ? "metadataHashValueIndex" : "metadataBackupIndex";
}
static const char *indexCapacityKey(metadataIndexKind kind) {
  return kind == MD_BACKUP_INDEX ? "maxHashedBackups" : "maxHashedBlocks";
}

// A capacity in C notation with an optional k/m/g suffix; 0 when it is not
// a number.
static uint64_t parseCapacity(const char *key, const char *text) {
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 0);
  if (end == text) {
    LOG(0, "%s():  %s must be a number: %s", __func__, key, text);
    return 0;
  }
  while (*end == ' ' || *end == '\t') end++;
  switch (*end) {
    case 'k': case 'K': v <<= 10; end++; break;
    case 'm': case 'M': v <<= 20; end++; break;
    case 'g': case 'G': v <<= 30; end++; break;
    default: break;
  }
  while (*end == ' ' || *end == '\t') end++;
  if (*end) LOG(0, "%s():  Don't recognize what follows %s: %s.", __func__, key, text);
  return v;
}

int openIndex(metadataPrivate *h, metadataIndexKind kind) {
  metadataIndex &ix = h->index[kind];
  if (ix.map) return 0;
  std::string path = h->dir + indexFile(kind);
  if (ix.fd < 0) {
    ix.fd = openStoreFile(path, O_RDWR | O_DSYNC);
    if (ix.fd < 0) return -1;
  }
  struct stat st;
  if (fstat(ix.fd, &st) != 0) return -1;
  if (st.st_size == 0) {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(ix.fd, F_SETLKW, &fl) != 0) {
      LOG(0, "%s():  Can't lock hash index", __func__);
      return -1;
    }
    int rc = 0;
    if (fstat(ix.fd, &st) == 0 && st.st_size == 0) {
      char buf[64];
      if (iniGetString("fileDedup", indexCapacityKey(kind), "", buf, sizeof buf, g_master_ini) != 0 || !buf[0]) {
        LOG(0, "%s():  No %s configured.", __func__, indexCapacityKey(kind));
        rc = -1;
      } else {
        uint64_t capacity = parseCapacity(indexCapacityKey(kind), buf);
        uint64_t bytes = (capacity * mdl::SLOT_BYTES + h->blockSize - 1) / h->blockSize * h->blockSize;
        if (bytes == 0) {
          rc = -1;
        } else if (ftruncate(ix.fd, (off_t)bytes) != 0) {
          LOG(0, "%s():  ftruncate(%s, 0x%lX): %s", __func__, path.c_str(), (unsigned long)bytes, strerror(errno));
          rc = -1;
        } else {
          posix_fallocate(ix.fd, 0, (off_t)bytes);
        }
      }
    }
    fl.l_type = F_UNLCK;
    fcntl(ix.fd, F_SETLK, &fl);
    if (rc != 0) return -1;
    if (fstat(ix.fd, &st) != 0) return -1;
  }
  void *a = mmap(nullptr, st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, ix.fd, 0);
  if (a == MAP_FAILED) {
    LOG(0, "%s():  mmap(, %zd,,, %s, 0): %s", __func__, (size_t)st.st_size, path.c_str(), strerror(errno));
    return -1;
  }
  ix.map = static_cast<uint8_t *>(a);
  ix.size = st.st_size;
  return 0;
}

// Home byte position. The products wrap at 64 bits like the unsigned
// arithmetic of the other users of these files.
uint64_t metadataIndexHome(metadataPrivate *h, metadataIndexKind kind, uint64_t key) {
  uint64_t size = h->index[kind].size;
  if (size == 0) return 0;
  uint64_t v = kind == MD_HASH_VALUE_INDEX ? key % size : (key * 96) % size;
  return v & ~uint64_t(mdl::SLOT_BYTES - 1);
}

int lockIndex(metadataPrivate *h, metadataIndexKind kind, uint64_t position, short lockType) {
  metadataIndex &ix = h->index[kind];
  if (ix.locksHeld) {
    LOG(0, "%s():  Already %d locks on index", __func__, ix.locksHeld);
    return -1;
  }
  uint64_t len = h->neighborhoodSize;
  ix.locks[0] = {};
  ix.locks[0].l_type = lockType;
  ix.locks[0].l_whence = SEEK_SET;
  ix.locks[0].l_start = (off_t)position;
  ix.locks[0].l_len = (off_t)std::min(len, ix.size - position);
  int n = 1;
  if (position + len > ix.size) {
    ix.locks[1] = ix.locks[0];
    ix.locks[1].l_start = 0;
    ix.locks[1].l_len = (off_t)(position + len - ix.size);
    n = 2;
  }
  for (int i = 0; i < n; i++) {
    while (fcntl(ix.fd, F_SETLKW, &ix.locks[i]) != 0) {
      if (errno == EINTR) continue;
      LOG(0, "%s():  Can't lock index: %s", __func__, strerror(errno));
      for (int j = 0; j < i; j++) {
        struct flock un = ix.locks[j];
        un.l_type = F_UNLCK;
        fcntl(ix.fd, F_SETLK, &un);
      }
      return -1;
    }
  }
  ix.locksHeld = n;
  return 0;
}

int lockIndexWhole(metadataPrivate *h, metadataIndexKind kind) {
  metadataIndex &ix = h->index[kind];
  if (ix.locksHeld) {
    LOG(0, "%s():  Already %d locks on index", __func__, ix.locksHeld);
    return -1;
  }
  ix.locks[0] = {};
  ix.locks[0].l_type = F_WRLCK;
  ix.locks[0].l_whence = SEEK_SET;
  while (fcntl(ix.fd, F_SETLKW, &ix.locks[0]) != 0) {
    if (errno == EINTR) continue;
    LOG(0, "%s():  Can't lock index: %s", __func__, strerror(errno));
    return -1;
  }
  ix.locksHeld = 1;
  return 0;
}

int unlockIndex(metadataPrivate *h, metadataIndexKind kind) {
  metadataIndex &ix = h->index[kind];
  int rc = 0;
  for (int i = 0; i < ix.locksHeld; i++) {
    struct flock un = ix.locks[i];
    un.l_type = F_UNLCK;
    if (fcntl(ix.fd, F_SETLK, &un) != 0) {
      LOG(0, "%s():  Can't unlock neighborhood 0x%lX!", __func__, (unsigned long)un.l_start);
      rc = -1;
    }
  }
  ix.locksHeld = 0;
  return rc;
}

static uint8_t *slotAt(metadataPrivate *h, metadataIndexKind kind, uint64_t slot) {
  return h->index[kind].map + slot * mdl::SLOT_BYTES;
}

int64_t findInNeighborhood(metadataPrivate *h, metadataIndexKind kind, uint64_t home, uint64_t key) {
  uint64_t slots = h->index[kind].size / mdl::SLOT_BYTES;
  uint64_t hood = std::min<uint64_t>(h->neighborhoodSize / mdl::SLOT_BYTES, slots);
  uint64_t first = home / mdl::SLOT_BYTES;
  for (uint64_t i = 0; i < hood; i++) {
    uint64_t s = (first + i) % slots;
    const uint8_t *p = slotAt(h, kind, s);
    if ((mdGet64(p, mdl::SLOT_FLAGS) & mdl::SLOT_IN_USE) && mdGet64(p, mdl::SLOT_KEY) == key)
      return (int64_t)(s * mdl::SLOT_BYTES);
  }
  return -1;
}

int metadataIndexFind(metadataPrivate *h, metadataIndexKind kind, uint64_t key, uint64_t *offset) {
  if (openIndex(h, kind) != 0) return -1;
  uint64_t home = metadataIndexHome(h, kind, key);
  if (lockIndex(h, kind, home, F_RDLCK) != 0) {
    LOG(0, "%s():  Can't lock neighborhood 0x%lX!", __func__, (unsigned long)home);
    return -1;
  }
  int64_t pos = findInNeighborhood(h, kind, home, key);
  if (pos >= 0) *offset = mdGet64(h->index[kind].map + pos, mdl::SLOT_OFFSET);
  if (unlockIndex(h, kind) != 0) return -1;
  return pos >= 0 ? 1 : 0;
}

int64_t metadataIndexSlotOf(metadataPrivate *h, metadataIndexKind kind, uint64_t key) {
  if (openIndex(h, kind) != 0) return -1;
  uint64_t home = metadataIndexHome(h, kind, key);
  if (lockIndex(h, kind, home, F_RDLCK) != 0) return -1;
  int64_t pos = findInNeighborhood(h, kind, home, key);
  unlockIndex(h, kind);
  return pos;
}

// Circular distance from slot a forward to slot b.
static uint64_t slotDistance(uint64_t a, uint64_t b, uint64_t slots) { return (b + slots - a) % slots; }

int indexInsertLocked(metadataPrivate *h, metadataIndexKind kind, uint64_t key, uint64_t offset) {
  uint64_t slots = h->index[kind].size / mdl::SLOT_BYTES;
  uint64_t hood = std::min<uint64_t>(h->neighborhoodSize / mdl::SLOT_BYTES, slots);
  uint64_t home = metadataIndexHome(h, kind, key) / mdl::SLOT_BYTES;
  // Nearest free slot from home on.
  uint64_t j = slots;
  for (uint64_t d = 0; d < slots; d++) {
    uint64_t s = (home + d) % slots;
    if ((mdGet64(slotAt(h, kind, s), mdl::SLOT_FLAGS) & (mdl::SLOT_IN_USE | mdl::SLOT_RESERVED)) == 0) {
      j = s;
      break;
    }
  }
  if (j == slots) {
    LOG(0, "%s():  The hash table is full!", __func__);
    return -1;
  }
  mdPut64(slotAt(h, kind, j), mdl::SLOT_FLAGS, mdl::SLOT_RESERVED);
  // Move the free slot towards home: an entry lying before it whose own
  // neighborhood still covers the free slot moves there, freeing its place.
  while (slotDistance(home, j, slots) >= hood) {
    bool moved = false;
    for (uint64_t back = hood - 1; back >= 1 && !moved; back--) {
      uint64_t k = (j + slots - back) % slots;
      uint8_t *pk = slotAt(h, kind, k);
      if ((mdGet64(pk, mdl::SLOT_FLAGS) & mdl::SLOT_IN_USE) == 0) continue;
      uint64_t hk = metadataIndexHome(h, kind, mdGet64(pk, mdl::SLOT_KEY)) / mdl::SLOT_BYTES;
      if (slotDistance(hk, j, slots) >= hood || slotDistance(hk, k, slots) > slotDistance(hk, j, slots)) continue;
      uint8_t *pj = slotAt(h, kind, j);
      mdPut64(pj, mdl::SLOT_KEY, mdGet64(pk, mdl::SLOT_KEY));
      mdPut64(pj, mdl::SLOT_OFFSET, mdGet64(pk, mdl::SLOT_OFFSET));
      mdPut64(pj, 16, 0);
      mdPut64(pj, mdl::SLOT_FLAGS, mdl::SLOT_IN_USE);
      mdPut64(pk, mdl::SLOT_FLAGS, mdl::SLOT_RESERVED);
      j = k;
      moved = true;
    }
    if (!moved) {
      mdPut64(slotAt(h, kind, j), mdl::SLOT_FLAGS, 0);
      LOG(0, "%s():  The hash table is full!", __func__);
      return -1;
    }
  }
  uint8_t *p = slotAt(h, kind, j);
  mdPut64(p, mdl::SLOT_KEY, key);
  mdPut64(p, mdl::SLOT_OFFSET, offset);
  mdPut64(p, 16, 0);
  mdPut64(p, mdl::SLOT_FLAGS, mdl::SLOT_IN_USE);
  return 0;
}

int indexRemoveLocked(metadataPrivate *h, metadataIndexKind kind, uint64_t key) {
  int64_t pos = findInNeighborhood(h, kind, metadataIndexHome(h, kind, key), key);
  if (pos < 0) return 0;
  memset(h->index[kind].map + pos, 0, mdl::SLOT_BYTES);
  return 1;
}

int indexUpdateLocked(metadataPrivate *h, metadataIndexKind kind, uint64_t key, uint64_t offset) {
  int64_t pos = findInNeighborhood(h, kind, metadataIndexHome(h, kind, key), key);
  if (pos < 0) return -1;
  mdPut64(h->index[kind].map + pos, mdl::SLOT_OFFSET, offset);
  return 0;
}

int metadataIndexInsert(metadataPrivate *h, metadataIndexKind kind, uint64_t key, uint64_t offset) {
  if (openIndex(h, kind) != 0 || lockIndexWhole(h, kind) != 0) return -1;
  int rc = indexInsertLocked(h, kind, key, offset);
  unlockIndex(h, kind);
  return rc;
}

int metadataIndexRemove(metadataPrivate *h, metadataIndexKind kind, uint64_t key) {
  if (openIndex(h, kind) != 0 || lockIndexWhole(h, kind) != 0) return -1;
  int rc = indexRemoveLocked(h, kind, key);
  unlockIndex(h, kind);
  return rc;
}

// ---------------------------------------------------------------------------
// Opening and closing.
// ---------------------------------------------------------------------------

// Makes block 0 the super block of a new store, under the "block store"
// lock; another process may have won the race meanwhile.
static int initSuperBlock(metadataPrivate *h) {
  if (ensureFreeMap(h, 1) != 0) return -1;
  if (!changeFreeMapBit(h, 0, true)) LOG(0, "%s():  Lost race to allocate superblock", __func__);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (pushFileLock(h, h->blockFd, "block store", F_SETLKW, &fl) != 0) {
    LOG(0, "%s():  Can't lock block store", __func__);
    return -1;
  }
  int rc = 0;
  uint8_t *sb = h->superBlock;
  if (memcmp(sb, mdl::SUPER_SIGNATURE, 8) != 0) {
    if (!memIsZero(sb, h->blockSize)) {
      LOG(0, "%s():  Super block unavailable -- You must remove and rebuild your metadata", __func__);
      rc = -1;
    } else {
      mdPut64(sb, mdl::SUPER_VERSION, mdl::SUPER_VERSION_VALUE);
      for (size_t off = mdl::SUPER_SIS_ROOT; off <= mdl::SUPER_SPARE; off += 8) mdPut64(sb, off, mdl::NONE);
      memcpy(sb + mdl::SUPER_SIG, mdl::SUPER_SIGNATURE, 8);
      if (h->synchronize) syncMetadataBlocks(h);
    }
  }
  if (popFileLock(h, h->blockFd, &fl) != 0) {
    LOG(0, "%s():  Can't unlock block store", __func__);
    rc = -1;
  }
  return rc;
}

metadataPrivate *allocateMetadataPrivate(int mode) {
  metadataPrivate *h = new (std::nothrow) metadataPrivate;
  if (!h) {
    LOG(0, "%s():  Can't allocate metadata private", __func__);
    return nullptr;
  }
  h->blockSize = (uint64_t)sysconf(_SC_PAGESIZE);
  h->neighborhoodSize = h->blockSize;
  h->mode = mode;
  uint8_t sync = 1;
  iniGetBool("fileDedup", "synchronizeUpdates", 1, &sync, g_master_ini);
  h->synchronize = sync;
  bool ok = deriveDirectory(h) == 0 && lockMetadata(h, mode) == 0 && openShadow(h) == 0 && openBlockFile(h) == 0;
  if (ok) {
    h->superBlock = blockOffsetToPtr(h, 0);
    if (!h->superBlock) {
      LOG(0, "%s():  Can't map super block", __func__);
      ok = false;
    }
  }
  if (ok && memcmp(h->superBlock, mdl::SUPER_SIGNATURE, 8) != 0) ok = initSuperBlock(h) == 0;
  if (ok && checkMetadataLockShadow(h, 0, 0) != 0) {
    LOG(0, "%s():  Super block locked -- repair metadata", __func__);
    ok = false;
  }
  if (ok) {
    uint64_t version = mdGet64(h->superBlock, mdl::SUPER_VERSION);
    if (version != mdl::SUPER_VERSION_VALUE) {
      LOG(0, "%s():  Super block version mismatch:  %lu != %lu\n  You must remove and rebuild your metadata\n",
          __func__, (unsigned long)version, (unsigned long)mdl::SUPER_VERSION_VALUE);
      ok = false;
    }
  }
  if (!ok) {
    freeMetadataPrivate(&h, 0);
    return nullptr;
  }
  return h;
}

void freeMetadataPrivate(metadataPrivate **handle, int mode) {
  if (!handle || !*handle) return;
  metadataPrivate *h = *handle;
  for (int k = 0; k < 3; k++)
    if (h->index[k].locksHeld) unlockIndex(h, metadataIndexKind(k));
  while (h->fileLockCount > 0) {
    fileLockEntry &e = h->fileLocks[h->fileLockCount - 1];
    LOG(0, "%s():  Leftover file lock: %s", __func__, e.name);
    struct flock fl = e.lock;
    popFileLock(h, e.fd, &fl);
  }
  if (h->superBlock) freeBlockPtr(h, h->superBlock);
  h->superBlock = nullptr;
  h->currentBackup = 0;
  closeBlockMapping(h);
  if (h->blockFd >= 0) close(h->blockFd);
  if (h->recordLockFd >= 0) close(h->recordLockFd);
  if (h->freeMap) munmap(h->freeMap, h->freeMapLength);
  if (h->freeMapFd >= 0) close(h->freeMapFd);
  for (metadataIndex &ix : h->index) {
    if (ix.map) munmap(ix.map, ix.size);
    if (ix.fd >= 0) close(ix.fd);
  }
  if (h->shadow) munmap(h->shadow, mdl::SHADOW_BYTES);
  if (h->shadowFd >= 0) close(h->shadowFd);
  if (h->lockFd >= 0) {
    if (mode == 3 && ftruncate(h->lockFd, 0) != 0)
      LOG(0, "%s():  ftruncate(metadataLock): %s", __func__, strerror(errno));
    if (flock(h->lockFd, LOCK_UN) != 0)
      LOG(0, "%s():  flock(%s, LOCK_UN): %s", __func__, (h->dir + "metadataLock").c_str(), strerror(errno));
    close(h->lockFd);
  }
  delete h;
  *handle = nullptr;
}

int metadataCatchSignals() { return catchSignalsFor(CATCHER_METADATA); }
int metadataUncatchSignals() { return uncatchSignalsFor(CATCHER_METADATA); }
int metadataSignalReceived() { return signalReceivedFor(CATCHER_METADATA); }
