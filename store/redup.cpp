// redup.cpp: the reduplicating reader: CTAR reference headers and
// references, the block layout's window of deduplicated ranges, reading
// block contents by hash under the hash's shared lock, and seeking.
#include "store/redup.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "dedup/hashRead.h"
#include "dedup/hashValues.h"
#include "dedup/metadata.h"
#include "dedup/metadataRecord.h"
#include "lib/is_tar.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "store/archiverw.h"

namespace {

constexpr int64_t kBlock = 512;
constexpr size_t kWindowBytes = 0x780000;
constexpr size_t kMinRefBytes = 38;  // a reference never spans more than this much text

// Flag bits of the state.
enum : unsigned {
  REDUP_RELOAD = 1,      // CTAR: the current entry is deduplicated; block layout: reload the window
  REDUP_CTAR = 2,        // CTAR layout
  REDUP_REPOSITION = 4,  // position the underlying filter before the next plain read
};

int64_t roundUp512(int64_t v) { return (v + kBlock - 1) / kBlock * kBlock; }

int fail(int err) {
  errno = err;
  return -1;
}

}  // namespace

struct redupState {
  archiveFilter *under = nullptr;
  uint64_t backupNo = 0;
  int64_t backupType = 0;
  // Current entry (CTAR layout); hdr < 0: none.
  int64_t hdr = -1, dataStart = 0, end = 0;
  int64_t cur = 0;
  // Reference list of the current entry.
  int64_t refText = 0;        // virtual offset of the first reference's text
  int64_t refReadPos = 0;     // virtual offset of the next text byte to load
  int64_t contentsStart = 0;  // where the current reference's contents begin
  uint64_t refLen = 0, refHash = 0;
  int walkValid = 0, refsEnded = 0;
  hashedContentsPrivate *hashCtx = nullptr;
  char refBuf[kBlock + 1] = {};
  size_t parsePos = 0, bufFill = 0;
  // Block window (block layout).
  void *window = nullptr;
  size_t windowLen = 0;
  HashValue *values = nullptr;
  int64_t *offsets = nullptr;
  int capacity = 0, loaded = 0;
  int64_t windowLo = 0, windowHi = 0;
  hashValuesPrivate *valuesCtx = nullptr;
  metadataPrivate *metaCtx = nullptr;
  hashLockState *lockCtx = nullptr;
  unsigned flags = 0;
  char header[kBlock] = {};
  HashValue cached = {};  // completed record of the last hash read by id
  int cachedValid = 0;
};

void tarHeaderChecksum(char *h) {
  memset(h + 148, ' ', 8);
  unsigned sum = 0;
  for (int i = 0; i < kBlock; i++) sum += static_cast<unsigned char>(h[i]);
  snprintf(h + 148, 8, "%0*o", 7, sum);
}

namespace {

// Moves the underlying filter to virtual offset off when it is elsewhere.
int positionUnder(redupState *s, int64_t off) {
  int64_t at = archive_seek(s->under, 0, SEEK_CUR);
  if (at == off) return 0;
  return archive_seek(s->under, off, SEEK_SET) == off ? 0 : -1;
}

// Reads n bytes from the underlying filter (fewer at its end). Bytes or -1.
ssize_t readUnder(redupState *s, void *dst, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = archive_read(s->under, static_cast<char *>(dst) + done, n - done);
    if (r < 0) return done ? ssize_t(done) : -1;
    if (r == 0) break;
    done += size_t(r);
  }
  return ssize_t(done);
}

// Parses an octal field of up to `width` characters.
uint64_t octalField(const char *f, int width) {
  uint64_t v = 0;
  int i = 0;
  while (i < width && f[i] == ' ') i++;
  for (; i < width && f[i] >= '0' && f[i] <= '7'; i++) v = v * 8 + uint64_t(f[i] - '0');
  return v;
}

// Reads and checks the reference header of the 'D' entry whose header is
// at `at`; fills the reference text offset and the rebuilt header.
int readReferenceHeader(redupState *s, int64_t at) {
  if (positionUnder(s, s->dataStart) != 0) {
    LOG(0, "Can't seek to deduplication reference header at 0x%lX virtual", uint64_t(s->dataStart));
    return fail(EINVAL);
  }
  char ref[kBlock + 1];
  if (readUnder(s, ref, kBlock) != kBlock) {
    LOG(0, "Failed reading deduplication reference header at 0x%lX virtual.", uint64_t(s->dataStart));
    return fail(EINVAL);
  }
  ref[kBlock] = 0;
  if (positionUnder(s, at) != 0) {
    LOG(0, "Can't reset virtual offset to 0x%lX", uint64_t(at));
    return fail(EINVAL);
  }
  char *program = static_cast<char *>(memchr(ref, ',', kBlock));
  if (!program) {
    LOG(0, "Can't find end of program name in reference header at 0x%lX", uint64_t(s->dataStart));
    return fail(EINVAL);
  }
  char *numEnd;
  errno = 0;
  unsigned long long claimed = strtoull(program + 1, &numEnd, 0);
  if (numEnd == program + 1 || *numEnd != ',' || errno) {
    LOG(0, "Can't find end of header offset in reference header at 0x%lX", uint64_t(s->dataStart));
    return fail(EINVAL);
  }
  if (int64_t(claimed) != at) {
    LOG(0, "Header virtual offset confusion:  0x%lX != 0x%lX != 0x%lX.", uint64_t(claimed), uint64_t(at),
        uint64_t(s->dataStart - kBlock));
    return fail(EINVAL);
  }
  char *link = numEnd + 1;
  char *linkEnd = static_cast<char *>(memchr(link, ',', size_t(ref + kBlock - link)));
  if (!linkEnd) {
    LOG(0, "Can't find end of linkflag in reference header at 0x%lX", uint64_t(s->dataStart));
    return fail(EINVAL);
  }
  if (strncmp(linkEnd + 1, "dedup;", 6) != 0) {
    LOG(0, "Wrong reference header type at 0x%lX (expecting dedup)", uint64_t(s->dataStart));
    return fail(EINVAL);
  }
  // An empty link flag field stands for the old tar's NUL type flag.
  char linkFlag = linkEnd == link ? '\0' : *link;
  int textLen = int(linkEnd + 7 - ref);
  s->refText = s->dataStart + textLen;
  LOG(3, "Reference header for content at 0x%lX\n  %.*s", uint64_t(s->dataStart), textLen, ref);
  s->header[156] = linkFlag;
  tarHeaderChecksum(s->header);
  return 0;
}

// Parses the CTAR entry whose header is at `at` and makes it current.
int parseEntry(redupState *s, int64_t at) {
  s->hdr = -1;
  if (positionUnder(s, at) != 0) {
    LOG(0, "Can't seek to 0x%lX virtual in backup", uint64_t(at));
    return fail(EINVAL);
  }
  char h[kBlock];
  if (readUnder(s, h, kBlock) != kBlock) {
    LOG(0, "Failed reading CTAR header at 0x%lX virtual.", uint64_t(at));
    return fail(EINVAL);
  }
  memcpy(s->header, h, kBlock);
  s->walkValid = 0;
  s->flags &= ~(REDUP_RELOAD | REDUP_REPOSITION);
  if (std::all_of(h, h + kBlock, [](char c) { return c == 0; })) {
    LOG(5, "Found sentinel at 0x%lX virtual", uint64_t(at));
    s->hdr = at;
    s->dataStart = at + kBlock;
    s->end = INT64_MAX;
    return 0;
  }
  if (!is_tar(h)) {
    LOG(0, "No CTAR header at 0x%lX virtual.", uint64_t(at));
    return fail(EINVAL);
  }
  uint64_t size;
  if (parseTarSize(h + 124, &size) != 0 || size > uint64_t(INT64_MAX / 2)) {
    LOG(0, "Bad header size at 0x%lX virtual", uint64_t(at));
    return fail(EINVAL);
  }
  s->dataStart = at + kBlock;
  if (h[0] == 0 && h[1] == 'L') {
    // Long names follow the header: the first length/offset pair gives
    // their size; for hard and symbolic links the second pair (the link
    // target's) is the one that applies.
    bool linkType = h[156] == '1' || h[156] == '2';
    const char *len = linkType ? h + 31 : h + 13;
    const char *off = linkType ? h + 40 : h + 22;
    LOG(5, "Read extended len/offset from header: %.9s, %.9s", len, off);
    s->dataStart += roundUp512(int64_t(octalField(len, 9)));
  }
  s->end = at + kBlock + roundUp512(int64_t(size));
  s->hdr = at;
  if (h[156] == 'D') {
    if (readReferenceHeader(s, at) != 0) {
      s->hdr = -1;
      return -1;
    }
    s->flags |= REDUP_RELOAD;
  }
  return 0;
}

// Starts the reference walk of the current entry at its first reference.
int restartWalk(redupState *s) {
  int64_t block = s->refText / kBlock * kBlock;
  if (positionUnder(s, block) != 0) {
    LOG(0, "Can't seek to deduplication reference at 0x%lX virtual", uint64_t(block));
    return fail(EINVAL);
  }
  size_t want = size_t(std::min<int64_t>(kBlock, s->end - block));
  ssize_t got = readUnder(s, s->refBuf, want);
  if (got < s->refText - block) {
    LOG(0, "Failed alignment read at 0x%lX virtual.", uint64_t(block));
    return fail(EINVAL);
  }
  s->bufFill = size_t(got);
  s->parsePos = size_t(s->refText - block);
  s->refReadPos = block + got;
  s->contentsStart = s->dataStart;
  s->refLen = 0;
  s->refHash = 0;
  s->refsEnded = 0;
  s->walkValid = 1;
  s->flags |= REDUP_REPOSITION;
  return 0;
}

// Parses the next reference. 0, 1 when the list has ended, -1.
int nextReference(redupState *s) {
  if (s->refsEnded) return 1;
  int64_t nextStart = s->contentsStart + int64_t(s->refLen);
  if (s->refLen && s->dataStart + roundUp512(nextStart - s->dataStart) >= s->end) {
    LOG(3, "No more references.");
    s->refsEnded = 1;
    return 1;
  }
  if (s->bufFill - s->parsePos < kMinRefBytes) {
    size_t rest = s->bufFill - s->parsePos;
    memmove(s->refBuf, s->refBuf + s->parsePos, rest);
    s->parsePos = 0;
    s->bufFill = rest;
    size_t want = size_t(std::min<int64_t>(int64_t(kBlock) - int64_t(rest), s->end - s->refReadPos));
    if (want > 0) {
      if (positionUnder(s, s->refReadPos) != 0) {
        LOG(0, "Failed reading batch of deduplication references at 0x%lX virtual.", uint64_t(s->refReadPos));
        return fail(EINVAL);
      }
      ssize_t got = readUnder(s, s->refBuf + rest, want);
      if (got < 0) {
        LOG(0, "Failed reading batch of deduplication references at 0x%lX virtual.", uint64_t(s->refReadPos));
        return fail(EINVAL);
      }
      s->bufFill += size_t(got);
      s->refReadPos += got;
      s->flags |= REDUP_REPOSITION;
    }
  }
  s->refBuf[s->bufFill] = 0;
  const char *start = s->refBuf + s->parsePos;
  int64_t where = s->refReadPos - int64_t(s->bufFill) + int64_t(s->parsePos);
  if (s->parsePos >= s->bufFill || *start == 0) {
    LOG(3, "No more references.");
    s->refsEnded = 1;
    return 1;
  }
  char *e;
  errno = 0;
  unsigned long long len = strtoull(start, &e, 0);
  if (e == start || *e != ',' || errno) {
    LOG(0, "Can't find end of content length in reference at 0x%lX", uint64_t(where));
    return fail(EINVAL);
  }
  char *e2;
  unsigned long long hash = strtoull(e + 1, &e2, 0);
  if (e2 == e + 1 || *e2 != ';' || errno) {
    LOG(0, "Can't find end of reference at 0x%lX", uint64_t(where));
    return fail(EINVAL);
  }
  LOG(3, "Reference at 0x%lX\n  %.*s", uint64_t(where), int(e2 + 1 - start), start);
  s->contentsStart = nextStart;
  s->refLen = len;
  s->refHash = hash;
  s->parsePos = size_t(e2 + 1 - s->refBuf);
  return 0;
}

// Reads n bytes of a block's contents from `pos` within it, under the
// hash's shared lock. 0 / -1.
int readRecordContents(redupState *s, HashValue *record, uint8_t *dst, size_t n, uint64_t pos) {
  HashValue key = {};
  key.flags = hashID_in;
  key.hashID = record->hashID;
  if (lockHashValuesShared(&s->lockCtx, &key, 1) < 1) {
    LOG(0, "Can't share lock %lu", record->hashID);
    return -1;
  }
  size_t done = 0;
  while (done < n) {
    ssize_t r = readHashedContents(&s->hashCtx, record, dst + done, int64_t(n - done), int64_t(pos + done), 0);
    if (r < 1) {
      LOG(0, "%s reading existing hash 0x%lX contents", r == 0 ? "Premature end-of-block" : "Error",
          record->hashID);
      break;
    }
    done += size_t(r);
  }
  if (unlockHashValues(&s->lockCtx, &key, 1) < 0) LOG(0, "Can't unlock %lu", record->hashID);
  return done == n ? 0 : -1;
}

// The same for a hash known by its id only (CTAR references).
int readRedupHash(redupState *s, uint64_t hashID, uint8_t *dst, size_t n, uint64_t pos) {
  if (!s->cachedValid || s->cached.hashID != hashID) {
    s->cachedValid = 0;
    memset(&s->cached, 0, sizeof s->cached);
    s->cached.flags = hashID_in;
    s->cached.hashID = hashID;
    if (getHashValues(&s->valuesCtx, &s->cached, 1) != 0) {
      LOG(0, "Can't get hash values");
      return -1;
    }
    s->cachedValid = 1;
  }
  return readRecordContents(s, &s->cached, dst, n, pos);
}

// Scratch space for reads that only discard.
constexpr size_t kScratch = 1 << 20;

ssize_t ctarRead(redupState *s, uint8_t *dst, size_t count) {
  std::vector<uint8_t> scratch;
  if (!dst) scratch.resize(std::min(count, kScratch));
  size_t done = 0;
  auto finish = [&](int failed) -> ssize_t { return done ? ssize_t(done) : failed ? -1 : 0; };
  while (done < count) {
    int64_t off = s->cur;
    if (s->hdr < 0 || off < s->hdr || off >= s->end) {
      if (parseEntry(s, off) != 0) return finish(1);
    }
    size_t want = count - done;
    uint8_t *p = dst ? dst + done : scratch.data();
    if (!dst) want = std::min(want, scratch.size());
    size_t n;
    bool dedup = s->flags & REDUP_RELOAD;
    if (off < s->hdr + kBlock) {
      n = size_t(std::min<int64_t>(int64_t(want), s->hdr + kBlock - off));
      memcpy(p, s->header + (off - s->hdr), n);
      LOG(5, "Reading %zd header bytes", ssize_t(n));
    } else if (!dedup || off < s->dataStart) {
      int64_t limit = dedup ? s->dataStart : s->end;
      n = size_t(std::min<int64_t>(int64_t(want), limit - off));
      if (dedup)
        LOG(5, "Reading %zd non-deduplicated extension bytes", ssize_t(n));
      else
        LOG(5, "Reading %zd non-deduplicated bytes", ssize_t(n));
      if (positionUnder(s, off) != 0) {
        LOG(0, "Can't seek to 0x%lX virtual in backup", uint64_t(off));
        return finish(1);
      }
      ssize_t r = archive_read(s->under, p, n);
      if (r < 0) return finish(1);
      if (r == 0) return finish(0);
      s->cur += r;
      done += size_t(r);
      if (size_t(r) < n) return finish(0);
      continue;
    } else {
      if (!s->walkValid || off < s->contentsStart) {
        if (restartWalk(s) != 0) return finish(1);
      }
      while (!s->refsEnded && off >= s->contentsStart + int64_t(s->refLen)) {
        if (nextReference(s) < 0) return finish(1);
      }
      int64_t refEnd = s->contentsStart + int64_t(s->refLen);
      if (off >= refEnd) {
        n = size_t(std::min<int64_t>(int64_t(want), s->end - off));
        memset(p, 0, n);
        LOG(5, "Padding %zd bytes", ssize_t(n));
      } else {
        n = size_t(std::min<int64_t>(std::min<int64_t>(int64_t(want), refEnd - off), s->end - off));
        LOG(5, "Reading %zd deduplicated bytes", ssize_t(n));
        if (readRedupHash(s, s->refHash, p, n, uint64_t(off - s->contentsStart)) != 0) {
          LOG(0, "Can't read hash %lu contents", s->refHash);
          return finish(1);
        }
      }
    }
    s->cur += int64_t(n);
    done += n;
  }
  return ssize_t(done);
}

// Collects the deduplicated occurrences of a metadata-store walk.
struct windowWalk {
  int64_t offset;        // the reader's offset
  HashListEntry before;  // last deduplicated block starting before it
  int haveBefore;
  std::vector<HashListEntry> after;
  size_t limit;
};

int64_t collectWindow(void *context, HashListEntry *record, int, int) {
  windowWalk *w = static_cast<windowWalk *>(context);
  int64_t at = int64_t(record->location.fileOffset);
  if (record->refFlags & REF_FLAG_IN_FILE) return at;  // data still in the file: not deduplicated
  if (at < w->offset) {
    w->before = *record;
    w->haveBefore = 1;
    return at;
  }
  w->after.push_back(*record);
  return w->after.size() >= w->limit ? -1 : at;
}

// Loads the window of deduplicated ranges around the current offset.
int loadWindow(redupState *s) {
  int64_t off = s->cur;
  int limit = s->capacity - 1;
  s->loaded = 0;
  int generation = getMetadataGeneration();
  if (generation == 0) {
    PgResultPtr r(pgQuery(
        "(SELECT hash_id, file_offset FROM vx.backups_hash_values WHERE (backup_no = %ld) AND (hash_id IS NOT NULL) "
        "AND (deduplicated IS NOT NULL) AND (file_offset < %lu) ORDER BY file_offset DESC LIMIT 1)\nUNION ALL\n"
        "(SELECT hash_id, file_offset FROM vx.backups_hash_values WHERE (backup_no = %ld) AND (hash_id IS NOT NULL) "
        "AND (deduplicated IS NOT NULL) AND (file_offset >= %lu) ORDER BY file_offset LIMIT %d)",
        long(s->backupNo), uint64_t(off), long(s->backupNo), uint64_t(off), limit));
    if (!r) {
      LOG(0, "Failed to fetch deduplicated blocks in backup %ld", long(s->backupNo));
      LOG(0, "Can't get backups hash values");
      return -1;
    }
    long rows = pgTuples(r.get());
    for (long i = 0; i < rows && i < s->capacity; i++) {
      memset(&s->values[i], 0, sizeof(HashValue));
      s->values[i].flags = hashID_in;
      s->values[i].hashID = pgULVal(r.get(), int(i), "hash_id");
      s->offsets[i] = pgLLVal(r.get(), int(i), "file_offset");
      s->loaded++;
    }
  } else if (generation == 1) {
    if (!s->metaCtx && !(s->metaCtx = allocateMetadataPrivate(0))) return -1;
    windowWalk w;
    w.offset = off;
    w.haveBefore = 0;
    w.limit = size_t(limit);
    // Step back a megabyte at a time until a block at or before the offset
    // is found (or the start of the backup is reached).
    int64_t start = std::max<int64_t>(off - 1048575, 0);
    for (;;) {
      w.after.clear();
      w.haveBefore = 0;
      if (iterateHashesInBackup(&s->metaCtx, s->backupNo, uint64_t(start), 0, collectWindow, &w) != 0) {
        LOG(0, "Can't get backups hash values");
        return -1;
      }
      if (w.haveBefore || start == 0 || (!w.after.empty() && w.after.front().location.fileOffset == uint64_t(off)))
        break;
      start = std::max<int64_t>(start - 1048576, 0);
    }
    auto put = [&](const HashListEntry &e) {
      memset(&s->values[s->loaded], 0, sizeof(HashValue));
      s->values[s->loaded].flags = hashID_in;
      s->values[s->loaded].hashID = e.value.hashID;
      s->offsets[s->loaded] = int64_t(e.location.fileOffset);
      s->loaded++;
    };
    if (w.haveBefore) put(w.before);
    for (const HashListEntry &e : w.after)
      if (s->loaded < s->capacity) put(e);
  } else {
    LOG(0, "Invalid metadata generation: %d", generation);
    return -1;
  }
  if (s->loaded && getHashValues(&s->valuesCtx, s->values, s->loaded) != 0) {
    LOG(0, "Can't get hash values");
    return -1;
  }
  int following = s->loaded - ((s->loaded && s->offsets[0] < off) ? 1 : 0);
  s->windowLo = off;
  s->windowHi = following < limit ? INT64_MAX : s->offsets[s->loaded - 1];
  s->flags &= ~REDUP_RELOAD;
  return 0;
}

ssize_t nonCTARread(redupState *s, uint8_t *dst, size_t count) {
  if (!s->window) {
    LOG(0, "In %s() without dedupdHash", __func__);
    return fail(EINVAL);
  }
  std::vector<uint8_t> scratch;
  if (!dst) scratch.resize(std::min(count, kScratch));
  size_t done = 0;
  auto finish = [&](int failed) -> ssize_t { return done ? ssize_t(done) : failed ? -1 : 0; };
  while (done < count) {
    int64_t off = s->cur;
    if ((s->flags & REDUP_RELOAD) || off < s->windowLo || off >= s->windowHi) {
      if (loadWindow(s) != 0) return finish(1);
    }
    int i = 0;
    while (i < s->loaded && s->offsets[i] + int64_t(s->values[i].hashedLength) <= off) i++;
    size_t want = count - done;
    uint8_t *p = dst ? dst + done : scratch.data();
    if (!dst) want = std::min(want, scratch.size());
    if (i < s->loaded && s->offsets[i] <= off) {
      int64_t entryEnd = s->offsets[i] + int64_t(s->values[i].hashedLength);
      size_t n = size_t(std::min<int64_t>(int64_t(want), entryEnd - off));
      LOG(5, "Reading %zd deduplicated bytes", ssize_t(n));
      if (readRecordContents(s, &s->values[i], p, n, uint64_t(off - s->offsets[i])) != 0) {
        LOG(0, "Can't read hash %lu contents", s->values[i].hashID);
        return finish(1);
      }
      s->flags |= REDUP_REPOSITION;
      s->cur += int64_t(n);
      done += n;
      continue;
    }
    int64_t next = i < s->loaded ? s->offsets[i] : INT64_MAX;
    if (i >= s->loaded && s->windowHi != INT64_MAX) {
      s->flags |= REDUP_RELOAD;  // the window is used up
      continue;
    }
    size_t n = size_t(std::min<int64_t>(int64_t(want), next - off));
    if ((s->flags & REDUP_REPOSITION) || archive_seek(s->under, 0, SEEK_CUR) != off) {
      if (positionUnder(s, off) != 0) {
        LOG(0, "Can't seek to 0x%lX virtual in backup", uint64_t(off));
        return finish(1);
      }
      s->flags &= ~REDUP_REPOSITION;
    }
    LOG(5, "Reading %zd non-deduplicated bytes", ssize_t(n));
    ssize_t r = archive_read(s->under, p, n);
    if (r < 0) return finish(1);
    if (r == 0) return finish(0);
    s->cur += r;
    done += size_t(r);
    if (size_t(r) < n) return finish(0);
  }
  return ssize_t(done);
}

// The block window: an anonymous mapping, halved until it can be made.
int createWindow(redupState *s) {
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  size_t len = (kWindowBytes + page - 1) / page * page;
  void *m = MAP_FAILED;
  bool first = true;
  while (len >= page) {
    m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m != MAP_FAILED) break;
    first = false;
    len = len / 2 / page * page;
  }
  int capacity = m == MAP_FAILED ? 0 : int(len / 128);
  if (m == MAP_FAILED || (first ? capacity < 4 : capacity < 2)) {
    if (m != MAP_FAILED) munmap(m, len);
    LOG(0, "Can't mmap() enough space for hashes to reduplicate");
    return fail(ENOMEM);
  }
  size_t valuesBytes = 0;
  for (; capacity >= 2; capacity--) {
    valuesBytes = (size_t(capacity) * sizeof(HashValue) + 7) / 8 * 8;
    if (valuesBytes + size_t(capacity) * sizeof(int64_t) <= len) break;
  }
  if (capacity < 2) {
    munmap(m, len);
    LOG(0, "Can't mmap() enough space for hashes to reduplicate");
    return fail(ENOMEM);
  }
  s->window = m;
  s->windowLen = len;
  s->values = static_cast<HashValue *>(m);
  s->offsets = reinterpret_cast<int64_t *>(static_cast<char *>(m) + valuesBytes);
  s->capacity = capacity;
  s->flags |= REDUP_RELOAD;
  return 0;
}

void releaseState(redupState *s) {
  if (s->hashCtx) closeHashedContents(&s->hashCtx);
  if (s->valuesCtx) freeHashValuesPrivate(s->valuesCtx);
  s->valuesCtx = nullptr;
  if (s->metaCtx) freeMetadataPrivate(&s->metaCtx, 0);
  if (s->lockCtx) freeLockedHashState(&s->lockCtx);
  if (s->window && munmap(s->window, s->windowLen) != 0)
    LOG(0, "munmap(, %zd): %s", ssize_t(s->windowLen), strerror(errno));
  s->window = nullptr;
  delete s;
}

}  // namespace

archiveFilter *redupOpen(const char *path, const char *mode, uint64_t properties) {
  if (!path || !mode || mode[0] != 'r') {
    LOG(0, "Mode '%c' wrong for reduplication", mode ? mode[0] : '?');
    errno = EINVAL;
    return nullptr;
  }
  if (!(properties & ARCH_PROP_DEDUPLICATED)) {
    LOG(0, "Properties 0x%lX wrong for reduplication", properties);
    errno = EINVAL;
    return nullptr;
  }
  const char *name = strrchr(path, '/');
  name = name ? name + 1 : path;
  if (strncmp(name, "backup_", 7) != 0) {
    LOG(0, "Can't find backup number in file name: %s", path);
    errno = EINVAL;
    return nullptr;
  }
  if (!isdigit(static_cast<unsigned char>(name[7]))) {
    LOG(0, "Can't parse backup number in file name: %s", path);
    errno = EINVAL;
    return nullptr;
  }
  char *e;
  uint64_t backupNo = strtoull(name + 7, &e, 10);
  if (*e && strcmp(e, ".gz") != 0) {
    LOG(0, "Unrecognized characters after backup number in file name: %s", path);
    errno = EINVAL;
    return nullptr;
  }
  int64_t type;
  {
    PgResultPtr r(pgQuery("SELECT type FROM vx.backups WHERE (backup_no = %lu)", backupNo));
    if (!r || pgTuples(r.get()) < 1) {
      LOG(0, "Can't get backup %ld's type", long(backupNo));
      errno = EINVAL;
      return nullptr;
    }
    type = pgLLVal(r.get(), 0, "type");
  }
  bool ctar;
  if ((type >= 1 && type <= 3) || (type >= 5 && type <= 7) || (type >= 9 && type <= 14) ||
      (type >= 1031 && type <= 1039) || (type >= 4096 && type <= 4100))
    ctar = true;
  else if (type == 4)
    ctar = !(properties & 0x80);
  else if (type == 1024)
    ctar = false;
  else {
    LOG(0, "Can't decide how to parse backup %ld", long(backupNo));
    errno = EINVAL;
    return nullptr;
  }
  archiveFilter *h = new (std::nothrow) archiveFilter();
  if (!h) {
    LOG(0, "Out of memory for archive state");
    errno = ENOMEM;
    return nullptr;
  }
  redupState *s = new (std::nothrow) redupState();
  if (!s) {
    LOG(0, "Out of memory for reduplication state");
    delete h;
    errno = ENOMEM;
    return nullptr;
  }
  s->backupNo = backupNo;
  s->backupType = type;
  if (ctar) {
    s->flags |= REDUP_CTAR;
  } else if (createWindow(s) != 0) {
    int saved = errno;
    releaseState(s);
    delete h;
    errno = saved;
    return nullptr;
  }
  LOG(4, "Reduplicating %s as backup number %lu", path, backupNo);
  s->under = archive_open(path, mode, (properties & ~ARCH_PROP_DEDUPLICATED) | ARCH_PROP_REDUP_FILE);
  if (!s->under) {
    int saved = errno;
    releaseState(s);
    delete h;
    errno = saved;
    return nullptr;
  }
  if (flock(s->under->fd, LOCK_SH | LOCK_NB) != 0) {
    int saved = errno;
    LOG(0, "Can't lock %s for reduplication: %s", path, strerror(saved));
    archive_close(s->under);
    s->under = nullptr;
    releaseState(s);
    delete h;
    errno = saved;
    return nullptr;
  }
  h->fd = -1;
  h->mode = 'r';
  h->properties = properties;
  h->redup = s;
  return h;
}

ssize_t redupRead(archiveFilter *h, void *buffer, size_t count) {
  if (!h || !h->redup) return fail(EINVAL);
  redupState *s = h->redup;
  uint8_t *dst = static_cast<uint8_t *>(buffer);
  ssize_t n = (s->flags & REDUP_CTAR) ? ctarRead(s, dst, count) : nonCTARread(s, dst, count);
  if (n > 0) h->virtOffset = s->cur;
  return n;
}

int64_t CTARseek(archiveFilter *h, int64_t offset, int whence) {
  if (!h || !h->redup) return fail(EINVAL);
  redupState *s = h->redup;
  if (whence == SEEK_CUR && offset == 0) return s->cur;
  if (whence != SEEK_SET && whence != SEEK_CUR) {
    LOG(0, "%s(, 0x%lX, %d): bad whence", __func__, uint64_t(offset), whence);
    return fail(EINVAL);
  }
  int64_t target = whence == SEEK_SET ? offset : s->cur + offset;
  if (target < 0) return fail(EINVAL);
  if (!(s->flags & REDUP_CTAR)) {
    int64_t r = archive_seek(s->under, target, SEEK_SET);
    if (r < 0) return -1;
    if (target < s->cur) s->flags |= REDUP_RELOAD;
    s->flags &= ~REDUP_REPOSITION;
    s->cur = target;
    h->virtOffset = target;
    return r;
  }
  if (s->hdr < 0 || target < s->hdr || target >= s->end) {
    int64_t at = 0;
    {
      PgResultPtr r(pgQuery("SELECT blk_offset FROM vx.backup_files WHERE (backup_no = %lu) AND (blk_offset <= %lu) "
                            "AND (blk_offset >= 0) ORDER BY blk_offset DESC LIMIT 1",
                            s->backupNo, uint64_t(target / kBlock)));
      if (!r) {
        LOG(3, "Can't find CTAR header preceding offset 0x%lX", uint64_t(target));
        return fail(EINVAL);
      }
      if (pgTuples(r.get()) > 0) at = pgLLVal(r.get(), 0, "blk_offset") * kBlock;
    }
    for (;;) {
      if (parseEntry(s, at) != 0) return -1;
      if (target < s->end) break;
      at = s->end;
    }
  }
  if (!(s->flags & REDUP_RELOAD)) {
    int64_t pos = std::max(target, s->hdr + kBlock);
    int64_t got = positionUnder(s, pos) == 0 ? archive_seek(s->under, 0, SEEK_CUR) : -1;
    if (got != pos) {
      LOG(0, "%s(, 0x%lX, %d): calculated 0x%lX, seeked to 0x%lX", __func__, uint64_t(offset), whence,
          uint64_t(pos), uint64_t(got));
      return fail(EINVAL);
    }
  } else {
    s->walkValid = 0;
    if (target >= s->hdr + kBlock && target < s->dataStart) {
      LOG(3, "Seeking to non-deduplicated data in deduplicated file at 0x%lX virtual in backup", uint64_t(target));
      if (positionUnder(s, target) != 0) return fail(EINVAL);
    }
  }
  s->cur = target;
  h->virtOffset = target;
  return target;
}

int redupFcntl(archiveFilter *h, int request, int64_t value) {
  if (!h || !h->redup) return fail(EINVAL);
  switch (request) {
    case ARCHIVE_FCNTL_IOBLOCKSIZE:
    case ARCHIVE_FCNTL_DISCARD:
    case ARCHIVE_FCNTL_READBUFSIZE:
    case ARCHIVE_FCNTL_USERBUFSIZE:
    case ARCHIVE_FCNTL_LOWWATER:
      LOG(4, "redupFcntl: pass to archive_fcntl(): %d: %zu", request, size_t(value));
      return archive_fcntl(h->redup->under, request, value);
    case ARCHIVE_FCNTL_STREAM:
    case ARCHIVE_FCNTL_PADDING:
    case ARCHIVE_FCNTL_CLOEXEC:
    case ARCHIVE_FCNTL_CONTINUE_ON_ERROR:
    case ARCHIVE_FCNTL_ODIRECT:
      LOG(4, "redupFcntl: pass to archive_fcntl(): %d: %d", request, int(value));
      return archive_fcntl(h->redup->under, request, value);
    default:
      LOG(0, "redupFcntl: Invalid request type for archive_fcntl(): %d", request);
      return fail(EINVAL);
  }
}

int redupClose(archiveFilter *h) {
  if (!h || !h->redup) return fail(EINVAL);
  redupState *s = h->redup;
  int rc = 0;
  if (s->under && archive_close(s->under) != 0) rc = -1;
  s->under = nullptr;
  releaseState(s);
  h->redup = nullptr;
  return rc;
}
