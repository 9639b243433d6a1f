// SIS.cpp: the single instance store: info file, device list and consistent
// hashing, SIS files and their mapping windows, plain, encrypted and
// compressed reads, and the writer side used by the appliance stand-ins.
#include "store/SIS.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "lib/config.h"
#include "lib/ini.h"
#include "lib/is_tar.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/syspath.h"
#include "store/SIScompLZ4.h"

char g_SISinfoPath[256] = "/backups/SISinfo";

namespace {

constexpr int D2D_DEVICE_TYPE = 128;
constexpr long long MIN_DEVICE_KIB = 134217728LL;  // 2^27 KiB = 128 GiB
constexpr size_t MIN_COMPRESSED_BUFFER = 2u << 20;
constexpr size_t REGION_STEP = 1u << 20;
constexpr uint64_t GIB = 1ULL << 30;
constexpr uint64_t MAX_MAPPING = 32 * GIB;

uint64_t getLE64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
  return v;
}
void putLE64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (8 * i));
}
uint32_t getLE32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void putLE32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

size_t roundUp(size_t v, size_t unit) { return (v + unit - 1) / unit * unit; }

std::string infoPath() { return sysPath(g_SISinfoPath); }

}  // namespace

static_assert(sisinfo::HASH_COUNT + 4 == sisinfo::HEADER_BYTES, "info header is 72 bytes");
static_assert(sisinfo::ENTRY_HASH + 8 == sisinfo::ENTRY_BYTES, "hash entry is 16 bytes");
static_assert(sisinfo::DEV_PATH == 5, "device path follows weight and flags");

// ---- Layout codecs ------------------------------------------------------------

void decodeSISinfoHeader(const uint8_t *p, SISinfoHeader *h) {
  h->version = getLE32(p + sisinfo::VERSION);
  h->updateTime = getLE64(p + sisinfo::UPDATE_TIME);
  h->generation = getLE64(p + sisinfo::GENERATION);
  h->blockSize = getLE64(p + sisinfo::BLOCK_SIZE);
  h->fileSize = getLE64(p + sisinfo::FILE_SIZE);
  h->endOffset = getLE64(p + sisinfo::END_OFFSET);
  h->deviceList = getLE64(p + sisinfo::DEVICE_LIST);
  h->hashTable = getLE64(p + sisinfo::HASH_TABLE);
  h->mappedLength = getLE32(p + sisinfo::MAPPED_LENGTH);
  h->hashCount = getLE32(p + sisinfo::HASH_COUNT);
}

void encodeSISinfoHeader(uint8_t *p, const SISinfoHeader *h) {
  putLE32(p + sisinfo::VERSION, h->version);
  putLE32(p + 4, 0);
  putLE64(p + sisinfo::UPDATE_TIME, h->updateTime);
  putLE64(p + sisinfo::GENERATION, h->generation);
  putLE64(p + sisinfo::BLOCK_SIZE, h->blockSize);
  putLE64(p + sisinfo::FILE_SIZE, h->fileSize);
  putLE64(p + sisinfo::END_OFFSET, h->endOffset);
  putLE64(p + sisinfo::DEVICE_LIST, h->deviceList);
  putLE64(p + sisinfo::HASH_TABLE, h->hashTable);
  putLE32(p + sisinfo::MAPPED_LENGTH, h->mappedLength);
  putLE32(p + sisinfo::HASH_COUNT, h->hashCount);
}

bool decodeSISdevice(const uint8_t *p, SISdeviceRecord *d) {
  d->weight = getLE32(p + sisinfo::DEV_WEIGHT);
  d->flags = p[sisinfo::DEV_FLAGS];
  d->path = reinterpret_cast<const char *>(p + sisinfo::DEV_PATH);
  return d->path[0] != 0;
}

void encodeSISdevice(uint8_t *p, const SISdeviceRecord *d) {
  putLE32(p + sisinfo::DEV_WEIGHT, d->weight);
  p[sisinfo::DEV_FLAGS] = d->flags;
  size_t n = strlen(d->path);
  memcpy(p + sisinfo::DEV_PATH, d->path, n + 1);
}

void decodeSIShashEntry(const uint8_t *p, SIShashEntry *e) {
  e->device = getLE64(p + sisinfo::ENTRY_DEVICE);
  e->hash = getLE32(p + sisinfo::ENTRY_HASH);
}

void encodeSIShashEntry(uint8_t *p, const SIShashEntry &e) {
  putLE64(p + sisinfo::ENTRY_DEVICE, e.device);
  putLE32(p + sisinfo::ENTRY_HASH, e.hash);
  putLE32(p + sisinfo::ENTRY_HASH + 4, 0);
}

// ---- lookup3 ----------------------------------------------------------------
// Bob Jenkins' lookup3 (public domain, 2006): mix() and final() as published.

namespace {

inline uint32_t rot(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

inline void mix(uint32_t &a, uint32_t &b, uint32_t &c) {
  a -= c; a ^= rot(c, 4);  c += b;
  b -= a; b ^= rot(a, 6);  a += c;
  c -= b; c ^= rot(b, 8);  b += a;
  a -= c; a ^= rot(c, 16); c += b;
  b -= a; b ^= rot(a, 19); a += c;
  c -= b; c ^= rot(b, 4);  b += a;
}

inline void finalMix(uint32_t &a, uint32_t &b, uint32_t &c) {
  c ^= b; c -= rot(b, 14);
  a ^= c; a -= rot(c, 11);
  b ^= a; b -= rot(a, 25);
  c ^= b; c -= rot(b, 16);
  a ^= c; a -= rot(c, 4);
  b ^= a; b -= rot(a, 14);
  c ^= b; c -= rot(b, 24);
}

}  // namespace

uint32_t hashword(const uint32_t *k, size_t length, uint32_t initval) {
  uint32_t a, b, c;
  a = b = c = 0xdeadbeef + (uint32_t(length) << 2) + initval;
  while (length > 3) {
    a += k[0];
    b += k[1];
    c += k[2];
    mix(a, b, c);
    length -= 3;
    k += 3;
  }
  switch (length) {
    case 3: c += k[2]; [[fallthrough]];
    case 2: b += k[1]; [[fallthrough]];
    case 1:
      a += k[0];
      finalMix(a, b, c);
      break;
    case 0: break;
  }
  return c;
}

// The byte-at-a-time form of hashlittle; on a little-endian machine it gives
// the same values as the word-reading forms of the original.
uint32_t hashlittle(const void *key, size_t length, uint32_t initval) {
  const uint8_t *k = static_cast<const uint8_t *>(key);
  uint32_t a, b, c;
  a = b = c = 0xdeadbeef + uint32_t(length) + initval;
  while (length > 12) {
    a += k[0] + (uint32_t(k[1]) << 8) + (uint32_t(k[2]) << 16) + (uint32_t(k[3]) << 24);
    b += k[4] + (uint32_t(k[5]) << 8) + (uint32_t(k[6]) << 16) + (uint32_t(k[7]) << 24);
    c += k[8] + (uint32_t(k[9]) << 8) + (uint32_t(k[10]) << 16) + (uint32_t(k[11]) << 24);
    mix(a, b, c);
    length -= 12;
    k += 12;
  }
  switch (length) {
    case 12: c += uint32_t(k[11]) << 24; [[fallthrough]];
    case 11: c += uint32_t(k[10]) << 16; [[fallthrough]];
    case 10: c += uint32_t(k[9]) << 8; [[fallthrough]];
    case 9: c += k[8]; [[fallthrough]];
    case 8: b += uint32_t(k[7]) << 24; [[fallthrough]];
    case 7: b += uint32_t(k[6]) << 16; [[fallthrough]];
    case 6: b += uint32_t(k[5]) << 8; [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += uint32_t(k[3]) << 24; [[fallthrough]];
    case 3: a += uint32_t(k[2]) << 16; [[fallthrough]];
    case 2: a += uint32_t(k[1]) << 8; [[fallthrough]];
    case 1: a += k[0]; break;
    case 0: return c;
  }
  finalMix(a, b, c);
  return c;
}

// ---- Info mapping helpers ---------------------------------------------------------

namespace {

// Derives the list and table pointers from the header; offsets that lie
// outside the mapping leave the pointer null.
void derivePointers(SIShandle *h) {
  h->mappingFields = h->info + sisinfo::DEVICE_LIST;
  uint64_t list = getLE64(h->info + sisinfo::DEVICE_LIST);
  uint64_t table = getLE64(h->info + sisinfo::HASH_TABLE);
  uint32_t count = getLE32(h->info + sisinfo::HASH_COUNT);
  h->deviceList = (list >= sisinfo::HEADER_BYTES && list + 8 <= h->mappedLength) ? h->info + list
                                                                                  : nullptr;
  h->hashEntries = (table && table + uint64_t(count) * sisinfo::ENTRY_BYTES <= h->mappedLength)
                       ? h->info + table
                       : nullptr;
}

// Extends the info file and its mapping to at least `length` bytes
// (page-rounded) and records the new mapped length in the header.
int growInfo(SIShandle *h, size_t length) {
  length = roundUp(length, size_t(h->pageSize));
  if (length <= h->mappedLength) return 0;
  struct stat st;
  if (fstat(h->infoFd, &st) != 0) {
    LOG(0, "fstat64(%s): %s\n", infoPath().c_str(), strerror(errno));
    return -1;
  }
  if (size_t(st.st_size) < length && ftruncate(h->infoFd, off_t(length)) != 0) {
    LOG(0, "ftruncate(%s, %zu): %s\n", infoPath().c_str(), length, strerror(errno));
    return -1;
  }
  void *m = mremap(h->info, h->mappedLength, length, MREMAP_MAYMOVE);
  if (m == MAP_FAILED) {
    LOG(0, "Failed to remap single instance store mapping\n");
    return -1;
  }
  h->info = static_cast<uint8_t *>(m);
  h->mappedLength = length;
  putLE32(h->info + sisinfo::MAPPED_LENGTH, uint32_t(length));
  derivePointers(h);
  return 0;
}

// Offset (in the info file) of the list's terminating record.
uint64_t listTerminator(const SIShandle *h) {
  uint64_t at = getLE64(h->info + sisinfo::DEVICE_LIST);
  SISdeviceRecord d;
  while (at + 8 <= h->mappedLength && decodeSISdevice(h->info + at, &d))
    at += SISdeviceStride(strlen(d.path));
  return at;
}

// Offsets of every record of the device list, in list order.
std::vector<uint64_t> listRecords(const SIShandle *h) {
  std::vector<uint64_t> out;
  if (!h->deviceList) return out;
  uint64_t at = getLE64(h->info + sisinfo::DEVICE_LIST);
  SISdeviceRecord d;
  while (at + 8 <= h->mappedLength && decodeSISdevice(h->info + at, &d)) {
    out.push_back(at);
    at += SISdeviceStride(strlen(d.path));
  }
  return out;
}

SISdeviceRecord deviceAt(const SIShandle *h, uint64_t at) {
  SISdeviceRecord d;
  decodeSISdevice(h->info + at, &d);
  return d;
}

// Makes the device list start at its fixed place (a fresh or foreign file)
// and leaves room for it to grow by at least one page.
int prepareDeviceList(SIShandle *h) {
  if (getLE64(h->info + sisinfo::DEVICE_LIST) != sisinfo::HEADER_BYTES) {
    putLE64(h->info + sisinfo::DEVICE_LIST, sisinfo::HEADER_BYTES);
    putLE64(h->info + sisinfo::GENERATION, getLE64(h->info + sisinfo::GENERATION) + 1);
    derivePointers(h);
  }
  return growInfo(h, sisinfo::HEADER_BYTES + size_t(h->pageSize));
}

// Brings one device (record path ending in "SIS/") into the list: clears its
// scan-deleted bit unless deleted, updates its weight, or inserts it in
// path-length order. Returns 1 when the list changed (weight or insertion),
// 0 when not, -1 on failure.
int scanDevice(SIShandle *h, const std::string &path, uint32_t weight, bool deleted) {
  size_t len = path.size();
  uint64_t at = getLE64(h->info + sisinfo::DEVICE_LIST);
  SISdeviceRecord d;
  while (at + 8 <= h->mappedLength && decodeSISdevice(h->info + at, &d)) {
    size_t dl = strlen(d.path);
    if (dl < len) break;
    if (dl == len && path == d.path) {
      uint8_t *rec = h->info + at;
      if (!deleted) {
        rec[sisinfo::DEV_FLAGS] &= uint8_t(~sisinfo::DEV_SCAN_DELETED);
        LOG(4, "Single instance store %s not deleted\n", path.c_str());
      }
      if (d.weight != weight) {
        putLE32(rec + sisinfo::DEV_WEIGHT, weight);
        return 1;
      }
      return 0;
    }
    at += SISdeviceStride(dl);
  }
  // Not found: make room at `at` by moving the rest of the list (with its
  // terminator) up by one stride.
  size_t stride = SISdeviceStride(len);
  uint64_t term = listTerminator(h);
  if (growInfo(h, term + stride + 16) != 0) return -1;
  memmove(h->info + at + stride, h->info + at, term + 8 - at);
  memset(h->info + at, 0, stride);
  SISdeviceRecord rec{weight, deleted ? sisinfo::DEV_SCAN_DELETED : uint8_t(0), path.c_str()};
  encodeSISdevice(h->info + at, &rec);
  LOG(4, "Inserted single instance store %s %sdeleted\n", path.c_str(), deleted ? "" : "not ");
  return 1;
}

// Removes the record at `at`: the rest of the list moves down and the freed
// tail is zeroed.
void removeDevice(SIShandle *h, uint64_t at) {
  size_t stride = SISdeviceStride(strlen(deviceAt(h, at).path));
  uint64_t term = listTerminator(h);
  memmove(h->info + at, h->info + at + stride, term + 8 - (at + stride));
  memset(h->info + term + 8 - stride, 0, stride);
}

// After a scan: makes the scan's verdict the deleted flag in force and drops
// deleted records whose directory is gone. Returns the number of removals.
int settleDeletions(SIShandle *h) {
  int changes = 0;
  uint64_t at = getLE64(h->info + sisinfo::DEVICE_LIST);
  SISdeviceRecord d;
  while (at + 8 <= h->mappedLength && decodeSISdevice(h->info + at, &d)) {
    uint8_t *flags = h->info + at + sisinfo::DEV_FLAGS;
    if (*flags & sisinfo::DEV_SCAN_DELETED)
      *flags |= sisinfo::DEV_DELETED;
    else
      *flags &= uint8_t(~sisinfo::DEV_DELETED);
    if (*flags & sisinfo::DEV_DELETED) {
      struct stat st;
      if (stat(d.path, &st) != 0) {
        if (errno == ENOENT) {
          LOG(0, "Removing %s from our device list\n", d.path);
          removeDevice(h, at);
          changes++;
          continue;  // the next record now starts at `at`
        }
        LOG(0, "stat64(%s): %s\n", d.path, strerror(errno));
      }
    }
    at += SISdeviceStride(strlen(d.path));
  }
  return changes;
}

// Steps after a scan: rebuilds the hash-entry table when the list changed
// (or no table exists yet). 0 / -1.
int rebuildHashEntries(SIShandle *h, int changes) {
  std::vector<uint64_t> records = listRecords(h);
  uint64_t total = 0;
  for (uint64_t r : records) total += deviceAt(h, r).weight;
  if (total < 1) {
    LOG(0, "No devices\n");
    return -1;
  }
  uint64_t required = (listTerminator(h) + 15) & ~uint64_t(7);
  uint64_t table = getLE64(h->info + sisinfo::HASH_TABLE);
  if (changes == 0 && table >= required) return 0;

  putLE64(h->info + sisinfo::GENERATION, getLE64(h->info + sisinfo::GENERATION) + 1);
  if (table == 0 || table < required) table = required;
  putLE64(h->info + sisinfo::HASH_TABLE, table);
  putLE32(h->info + sisinfo::HASH_COUNT, uint32_t(total));
  if (growInfo(h, table + total * sisinfo::ENTRY_BYTES) != 0) return -1;

  std::vector<SIShashEntry> entries;
  entries.reserve(total);
  int64_t slot = int64_t(total);
  bool ranOut = false;
  for (uint64_t r : records) {
    SISdeviceRecord d = deviceAt(h, r);
    uint32_t h0 = hashlittle(d.path, strlen(d.path), 0);
    for (uint32_t k = d.weight; k >= 1; k--) {
      if (--slot < 0) {
        ranOut = true;
        break;
      }
      entries.push_back({r, hashword(&k, 1, h0)});
    }
    if (ranOut) break;
  }
  LOG(4, "%d hash entr%s\n", int(entries.size()), entries.size() == 1 ? "y" : "ies");
  std::sort(entries.begin(), entries.end(),
            [](const SIShashEntry &a, const SIShashEntry &b) { return a.hash < b.hash; });
  uint8_t *p = h->info + table;
  for (const SIShashEntry &e : entries) {
    encodeSIShashEntry(p, e);
    p += sisinfo::ENTRY_BYTES;
  }
  memset(p, 0, h->mappedLength - size_t(p - h->info));
  derivePointers(h);
  if (ranOut) {
    LOG(0, "Ran out of hash entries!?\n");
    return -1;
  }
  return 0;
}

SIShandle *allocHandle() {
  SIShandle *h = static_cast<SIShandle *>(calloc(1, sizeof(SIShandle)));
  if (!h) {
    LOG(0, "Can't malloc(%zu)\n", sizeof(SIShandle));
    return nullptr;
  }
  h->infoFd = -1;
  h->lockFd = -1;
  h->sisFd = -1;
  h->pageSize = sysconf(_SC_PAGESIZE);
  if (h->pageSize <= 0) h->pageSize = 4096;
  return h;
}

void unlockInfo(SIShandle *h) {
  if (flock(h->infoFd, LOCK_UN) != 0)
    LOG(0, "flock(%s, LOCK_UN): %s\n", infoPath().c_str(), strerror(errno));
}

// Opens the info file (creating it) and adds O_DIRECT. 0 / -1.
int openInfoFile(SIShandle *h) {
  std::string path = infoPath();
  h->infoFd = open(path.c_str(), O_RDWR | O_CREAT | O_NOATIME | O_SYNC | O_CLOEXEC, 0600);
  if (h->infoFd < 0) {
    LOG(0, "open64(%s): %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  int fl = fcntl(h->infoFd, F_GETFL);
  if (fl < 0)
    LOG(0, "Can't get %s file status flags: %s\n", path.c_str(), strerror(errno));
  else if (fcntl(h->infoFd, F_SETFL, fl | O_DIRECT) != 0)
    LOG(0, "Can't set O_DIRECT on %s: %s\n", path.c_str(), strerror(errno));
  return 0;
}

// Sets up the mapping of an opened, locked info file (the exclusive holder
// completes a store that is not set up yet). 0 / -1.
int mapInfoFile(SIShandle *h, bool exclusive) {
  std::string path = infoPath();
  size_t minimum = roundUp(sisinfo::HEADER_BYTES, size_t(h->pageSize));
  struct stat st;
  if (fstat(h->infoFd, &st) != 0) {
    LOG(0, "fstat64(%s): %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  if (st.st_blocks == 0 || st.st_size == 0) {
    if (!exclusive) {
      LOG(0, "The single instance store isn't ready -- empty info file.\n");
      return -1;
    }
    if (size_t(st.st_size) < minimum && ftruncate(h->infoFd, off_t(minimum)) != 0) {
      LOG(0, "ftruncate(%s, %zu): %s\n", path.c_str(), minimum, strerror(errno));
      return -1;
    }
  }
  void *m = mmap(nullptr, minimum, PROT_READ | PROT_WRITE, MAP_SHARED, h->infoFd, 0);
  if (m == MAP_FAILED) {
    LOG(0, "mmap(%s, %zu): %s\n", path.c_str(), minimum, strerror(errno));
    return -1;
  }
  h->info = static_cast<uint8_t *>(m);
  h->mappedLength = minimum;
  uint32_t version = getLE32(h->info + sisinfo::VERSION);
  if (version != 0) {
    LOG(0, "Can't handle single instance store version 0x%08X\n", version);
    return -1;
  }
  uint64_t blockSize = getLE64(h->info + sisinfo::BLOCK_SIZE);
  if (blockSize == 0) {
    if (!exclusive) {
      LOG(0, "The single instance store isn't ready -- block size = %lX.\n", blockSize);
      return -1;
    }
    putLE64(h->info + sisinfo::BLOCK_SIZE, 2 * uint64_t(h->pageSize));
  }
  uint64_t fileSize = getLE64(h->info + sisinfo::FILE_SIZE);
  if (fileSize == 0) {
    if (!exclusive) {
      LOG(0, "The single instance store isn't ready -- file size limit = %lX.\n", fileSize);
      return -1;
    }
    putLE64(h->info + sisinfo::FILE_SIZE, sisinfo::DEFAULT_FILE_SIZE);
  }
  uint32_t mapped = getLE32(h->info + sisinfo::MAPPED_LENGTH);
  if (mapped == 0) {
    // Only the exclusive holder writes the header; a shared holder just
    // maps what is there.
    if (exclusive) putLE32(h->info + sisinfo::MAPPED_LENGTH, uint32_t(minimum));
  } else if (mapped > h->mappedLength) {
    if (fstat(h->infoFd, &st) == 0 && size_t(st.st_size) < mapped &&
        ftruncate(h->infoFd, off_t(mapped)) != 0) {
      LOG(0, "Failed to remap single instance store mapping\n");
      return -1;
    }
    void *r = mremap(h->info, h->mappedLength, mapped, MREMAP_MAYMOVE);
    if (r == MAP_FAILED) {
      LOG(0, "Failed to remap single instance store mapping\n");
      return -1;
    }
    h->info = static_cast<uint8_t *>(r);
    h->mappedLength = mapped;
  }
  derivePointers(h);
  return 0;
}

// Follows changes that other processes made to the info file (a new
// generation, possibly a longer mapping). Call with the info file locked.
int syncInfo(SIShandle *h) {
  uint64_t generation = getLE64(h->info + sisinfo::GENERATION);
  if (generation == h->generation) return 0;
  size_t mapped = getLE32(h->info + sisinfo::MAPPED_LENGTH);
  if (mapped && mapped != h->mappedLength) {
    LOG(4, "Adjusting single instance store info: %zd -> %zd\n", ssize_t(h->mappedLength),
        ssize_t(mapped));
    void *r = mremap(h->info, h->mappedLength, mapped, MREMAP_MAYMOVE);
    if (r == MAP_FAILED) {
      LOG(0, "Failed to remap single instance store mapping\n");
      return -1;
    }
    h->info = static_cast<uint8_t *>(r);
    h->mappedLength = mapped;
  }
  derivePointers(h);
  h->generation = generation;
  return 0;
}

// Preferred length of a mapping window into an SIS file, computed once per
// process from the machine's RAM and [fileDedup] SISmmapRatio.
size_t preferredMappingLength() {
  static std::once_flag once;
  static size_t length;
  std::call_once(once, [] {
    struct sysinfo si;
    uint64_t total = 4 * GIB;
    if (sysinfo(&si) == 0) total = uint64_t(si.totalram) * si.mem_unit;
    LOG(3, "totalram %lu\n", total);
    int ratio = int(iniGetInt("fileDedup", "SISmmapRatio", 100, g_master_ini));
    LOG(3, "SISmmapRatio is %d\n", ratio);
    uint64_t l = total / 100 * uint64_t(ratio > 0 ? ratio : 1);
    l = (l + GIB - 1) / GIB * GIB;
    if (l == 0) l = GIB;
    if (l > MAX_MAPPING) l = MAX_MAPPING;
    length = size_t(l);
    LOG(3, "preferredMappingLength %lu\n", uint64_t(length));
  });
  return length;
}

void unmapWindow(SIShandle *h) {
  if (h->window) munmap(h->window, h->windowLength);
  h->window = nullptr;
  h->windowOffset = 0;
  h->windowLength = 0;
}

// Ends the current SIS file: decryption context, window, descriptor, path.
void closeSISfile(SIShandle *h) {
  if (h->crypt.cdlibData) CDlibReleaseCtx(&h->crypt);
  memset(&h->crypt, 0, sizeof h->crypt);
  h->tokenLength = 0;
  unmapWindow(h);
  if (h->sisFd >= 0) close(h->sisFd);
  h->sisFd = -1;
  free(h->sisPath);
  h->sisPath = nullptr;
  h->sisPathLength = 0;
}

// Maps a window of the current SIS file over SIS offset `offset`. 0 / -1.
int mapSISoffset(SIShandle *h, uint64_t offset) {
  if (h->window && offset >= h->windowOffset && offset < h->windowOffset + h->windowLength)
    return 0;
  unmapWindow(h);
  uint64_t S = getLE64(h->info + sisinfo::FILE_SIZE);
  uint64_t start = offset - offset % uint64_t(h->pageSize);
  uint64_t position = start % S;
  uint64_t length = std::min<uint64_t>(preferredMappingLength(), S - position);
  while (length > 0) {
    void *m = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, h->sisFd,
                   off_t(position));
    if (m != MAP_FAILED) {
      h->window = static_cast<uint8_t *>(m);
      h->windowOffset = start;
      h->windowLength = length;
      return 0;
    }
    length /= 2;
    if (length < uint64_t(h->pageSize)) break;
  }
  LOG(0, "mmap(%s, 0x%lX): %s\n", h->sisPath ? h->sisPath : "", position, strerror(errno));
  return -1;
}

// ---- Fault-protected copies from mapped files ---------------------------------
// A truncated or vanished SIS file turns a copy from its mapping into SIGBUS
// (or SIGSEGV). The handlers and the jump buffer are process-wide, so one
// thread at a time copies; the mutex enforces it.

std::mutex g_copyMutex;
sigjmp_buf g_copyJump;

void copyFaultHandler(int) { siglongjmp(g_copyJump, 1); }

int protectedCopy(void *dst, const void *src, size_t n) {
  std::lock_guard<std::mutex> guard(g_copyMutex);
  struct sigaction sa, oldSegv, oldBus;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = copyFaultHandler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, &oldSegv);
  sigaction(SIGBUS, &sa, &oldBus);
  int result = 0;
  if (sigsetjmp(g_copyJump, 1) == 0)
    memcpy(dst, src, n);
  else
    result = -1;
  sigaction(SIGSEGV, &oldSegv, nullptr);
  sigaction(SIGBUS, &oldBus, nullptr);
  return result;
}

// Decrypts `length` bytes (whole crypt units) from the window into out.
int decryptUnits(SIShandle *h, const uint8_t *in, uint8_t *out, size_t length, uint64_t offset) {
  // CDlibCrypt counts in int; long reads go in chunks of whole units.
  constexpr size_t CHUNK = 64u << 20;
  while (length > 0) {
    size_t n = std::min(length, CHUNK);
    h->crypt.nextDataInPtr = const_cast<uint8_t *>(in);
    h->crypt.dataInBytes = int32_t(n);
    h->crypt.nextDataOutPtr = out;
    h->crypt.dataOutBytes = int32_t(n);
    CDresult result;
    memset(&result, 0, sizeof result);
    int rc = CDlibCrypt(CD_OP_DECRYPT, &h->crypt, &result);
    if (rc != 0 || h->crypt.dataInBytes != 0 || h->crypt.dataOutBytes != 0) {
      if (result.message[0])
        LOG(0, "CDlibCrypt(SIS @ 0x%lX): %.*s\n", offset, int(kCDMessageTextSize),
            result.message);
      else
        LOG(0, "CDlibCrypt(SIS @ 0x%lX) failed\n", offset);
      return -1;
    }
    in += n;
    out += n;
    offset += n;
    length -= n;
  }
  return 0;
}

// Decrypting copy of `length` bytes at window position `pos`: whole crypt
// units aligned from the window's start (and so within the file).
int decryptCopy(SIShandle *h, uint8_t *dst, size_t pos, size_t length, uint64_t offset) {
  size_t unit = h->crypt.cryptUnitSize > 0 ? size_t(h->crypt.cryptUnitSize) : kCDUnitSize;
  std::vector<uint8_t> scratch;
  try {
    scratch.resize(unit);
  } catch (...) {
    LOG(0, "Can't malloc(%d)\n", int(unit));
    return -1;
  }
  size_t inBlock = pos % unit;
  if (inBlock) {
    size_t blockStart = pos - inBlock;
    if (decryptUnits(h, h->window + blockStart, scratch.data(), unit, offset - inBlock) != 0)
      return -1;
    size_t n = std::min(unit - inBlock, length);
    memcpy(dst, scratch.data() + inBlock, n);
    dst += n;
    pos += n;
    offset += n;
    length -= n;
  }
  if (length > unit) {
    size_t n = length / unit * unit;
    if (decryptUnits(h, h->window + pos, dst, n, offset) != 0) return -1;
    dst += n;
    pos += n;
    offset += n;
    length -= n;
  }
  if (length > 0) {
    if (decryptUnits(h, h->window + pos, scratch.data(), unit, offset) != 0) return -1;
    memcpy(dst, scratch.data(), length);
  }
  return 0;
}

// Checks the encryption token that follows the data of an SIS file.
bool tokenValid(const uint8_t *token, uint64_t tokenLength) {
  if (tokenLength < 513) return false;
  const char *hdr = reinterpret_cast<const char *>(token);
  if (!is_tar(hdr)) return false;
  if (strncasecmp(hdr, "Kestrelon encrypted TAR v", 25) != 0) return false;
  if (hdr[156] != 'E') return false;
  return uint64_t(tarEntrySize(hdr)) == tokenLength - 512;
}

}  // namespace

// ---- Opening and closing ----------------------------------------------------------

SIShandle *openSIS() {
  SIShandle *h = allocHandle();
  if (!h) return nullptr;
  std::string path = infoPath();
  if (openInfoFile(h) != 0) {
    freeSIS(h);
    return nullptr;
  }
  bool exclusive = true;
  if (flock(h->infoFd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      LOG(0, "flock(%s): %s\n", path.c_str(), strerror(errno));
      freeSIS(h);
      return nullptr;
    }
    exclusive = false;
    if (flock(h->infoFd, LOCK_SH) != 0) {
      LOG(0, "flock(%s): %s\n", path.c_str(), strerror(errno));
      freeSIS(h);
      return nullptr;
    }
  }
  bool ok = mapInfoFile(h, exclusive) == 0;
  if (ok && exclusive) {
    if (updateSISmap(h) != 0) {
      LOG(0, "Failed to update single instance store mapping\n");
      ok = false;
    } else {
      putLE64(h->info + sisinfo::UPDATE_TIME, uint64_t(time(nullptr)));
      msync(h->info, h->mappedLength, MS_INVALIDATE | MS_SYNC);
      if (flock(h->infoFd, LOCK_SH) != 0)
        LOG(0, "flock(%s, LOCK_SH): %s\n", path.c_str(), strerror(errno));
    }
  }
  if (ok) {
    h->generation = getLE64(h->info + sisinfo::GENERATION);
    derivePointers(h);
  }
  unlockInfo(h);
  if (!ok) {
    freeSIS(h);
    return nullptr;
  }
  return h;
}

void freeSIS(SIShandle *h) {
  if (!h) {
    LOG(0, "NULL argument to freeSIS()\n");
    return;
  }
  closeSISfile(h);
  if (h->info) munmap(h->info, h->mappedLength);
  if (h->infoFd >= 0) close(h->infoFd);
  if (h->lockFd >= 0) close(h->lockFd);
  free(h->compressed);
  free(h->subfileCache);
  free(h);
}

// ---- Device list ------------------------------------------------------------------

int updateSISmap(SIShandle *h) {
  if (prepareDeviceList(h) != 0) return -1;
  // Every record counts as deleted until the catalogue lists it again.
  for (uint64_t r : listRecords(h)) {
    uint8_t *flags = h->info + r + sisinfo::DEV_FLAGS;
    *flags = uint8_t((*flags | sisinfo::DEV_SCAN_DELETED) & ~sisinfo::DEV_SCAN_CLEARED);
    LOG(4, "Initializing single instance store %s to deleted\n", deviceAt(h, r).path);
  }
  int changes = 0;
  PgResultPtr res(pgQuery("SELECT dev_nr_name, is_deleted, capacity FROM vx.devices WHERE "
                          "(device_type = %d) AND (dedup = TRUE) ORDER BY octet_length(dev_nr_name)",
                          D2D_DEVICE_TYPE));
  long rows = res ? pgTuples(res.get()) : 0;
  if (rows <= 0) LOG(3, "No D2D devices in database\n");
  // Longest names first, so insertions keep the list in path-length order.
  for (long row = rows - 1; row >= 0; row--) {
    const char *name = pgSVal(res.get(), int(row), "dev_nr_name");
    if (!name) {
      LOG(0, "pgSVal(%d, \"dev_nr_name\") == NULL\n", int(row));
      continue;
    }
    if (!*name) {
      LOG(0, "pgSVal(%d, \"dev_nr_name\") == \"\"\n", int(row));
      continue;
    }
    long long capacity = pgLLVal(res.get(), int(row), "capacity");
    bool deleted = capacity < MIN_DEVICE_KIB || pgBVal(res.get(), int(row), "is_deleted");
    struct stat st;
    if (stat(name, &st) != 0) {
      LOG(0, "stat64(%s): %s\n", name, strerror(errno));
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      LOG(0, "%s is not a directory\n", name);
      continue;
    }
    std::string path = name;
    if (path.back() != '/') path += '/';
    path += "SIS/";
    long long w = capacity / MIN_DEVICE_KIB;
    uint32_t weight = uint32_t(std::clamp<long long>(w, 1, sisinfo::DEV_MAX_WEIGHT));
    int rc = scanDevice(h, path, weight, deleted);
    if (rc < 0) return -1;
    changes += rc;
  }
  changes += settleDeletions(h);
  return rebuildHashEntries(h, changes);
}

uint64_t SISownerDevice(SIShandle *h, uint64_t spanBase) {
  uint32_t count = getLE32(h->info + sisinfo::HASH_COUNT);
  if (!h->hashEntries || count == 0) {
    LOG(0, "No devices available\n");
    return 0;
  }
  uint32_t words[2] = {uint32_t(spanBase), uint32_t(spanBase >> 32)};
  uint32_t hash = hashword(words, 2, 0);
  // Smallest entry hash >= hash; above every entry wraps to the first.
  uint32_t lo = 0, hi = count;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (getLE32(h->hashEntries + size_t(mid) * sisinfo::ENTRY_BYTES + sisinfo::ENTRY_HASH) < hash)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == count) lo = 0;
  return getLE64(h->hashEntries + size_t(lo) * sisinfo::ENTRY_BYTES + sisinfo::ENTRY_DEVICE);
}

// ---- SIS files ----------------------------------------------------------------------

int openSISfile(SIShandle *h, uint64_t device, const char *prefix, uint64_t spanBase,
                int openFlags, int lockOperation) {
  char name[17];
  snprintf(name, sizeof name, "%016lX", spanBase);
  const char *dir = deviceAt(h, device).path;
  std::string path = std::string(dir) + prefix + name;
  if (h->sisPath && path == h->sisPath) return 0;
  closeSISfile(h);
  bool creating = openFlags & O_CREAT;
  if (creating) {
    if (mkdir(dir, 0700) != 0 && errno != EEXIST) {
      LOG(0, "mkdir(%s): %s\n", dir, strerror(errno));
      return -1;
    }
    if ((openFlags & O_EXCL) && unlink(path.c_str()) == 0)
      LOG(0, "Removed stale single instance store file %s\n", path.c_str());
  }
  int fd = open(path.c_str(), O_RDWR | O_SYNC | O_NOATIME | O_CLOEXEC | openFlags, 0600);
  if (fd < 0) {
    // Readers try every device for a span, so a missing file is expected
    // on all but one of them: it is logged only in detail.
    LOG(errno == ENOENT && !creating ? 5 : 0, "open64(%s%s): %s\n", path.c_str(),
        creating ? ", create" : "", strerror(errno));
    return -1;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || fcntl(fd, F_SETFL, fl | O_DIRECT) != 0)
    LOG(0, "Can't set O_DIRECT on %s: %s\n", path.c_str(), strerror(errno));
  h->sisFd = fd;
  h->sisPath = strdup(path.c_str());
  h->sisPathLength = path.size();

  struct stat st;
  if (fstat(fd, &st) != 0) {
    LOG(0, "fstat64(%s): %s\n", path.c_str(), strerror(errno));
    closeSISfile(h);
    return -1;
  }
  if (st.st_size == 0) {
    // Being created: the creator holds LOCK_EX until it has set the file up.
    bool exclusive = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!exclusive) {
      if (flock(fd, lockOperation) != 0) {
        LOG(0, "flock(%s): %s\n", path.c_str(), strerror(errno));
        closeSISfile(h);
        return -1;
      }
      if (fstat(fd, &st) != 0) {
        LOG(0, "fstat64(%s): %s\n", path.c_str(), strerror(errno));
        closeSISfile(h);
        return -1;
      }
      flock(fd, LOCK_UN);
    }
    if (st.st_size == 0) {
      // A creator keeps the exclusive lock and sets the file up; anybody
      // else cannot use a file that nobody finished.
      if (exclusive && creating) return 0;
      if (exclusive) flock(fd, LOCK_UN);
      LOG(0, "ERROR:  LOCK_EX is not held and device not fully setup.\n");
      closeSISfile(h);
      return -1;
    }
    if (exclusive) flock(fd, LOCK_UN);
  }
  uint64_t S = getLE64(h->info + sisinfo::FILE_SIZE);
  if (uint64_t(st.st_size) == S) {
    LOG(5, "fstat64(%s): %lu, not encrypted.\n", path.c_str(), uint64_t(st.st_size));
    return 0;
  }
  uint64_t T = uint64_t(st.st_size) > S ? uint64_t(st.st_size) - S : 0;
  uint64_t mapStart = S - S % uint64_t(h->pageSize);
  size_t mapLength = roundUp(size_t(S - mapStart + T), size_t(h->pageSize));
  void *m = T ? mmap(nullptr, mapLength, PROT_READ, MAP_SHARED, fd, off_t(mapStart)) : MAP_FAILED;
  const uint8_t *token = m == MAP_FAILED ? nullptr : static_cast<uint8_t *>(m) + (S - mapStart);
  if (!token || !tokenValid(token, T)) {
    if (m != MAP_FAILED) munmap(m, mapLength);
    LOG(0, "Bad encryption token at 0x%lX in %s\n", S, path.c_str());
    closeSISfile(h);
    return -1;
  }
  CDresult result;
  memset(&result, 0, sizeof result);
  memset(&h->crypt, 0, sizeof h->crypt);
  int rc = CDlibInitCryptWithToken(token, int(T), &h->crypt, &result);
  munmap(m, mapLength);
  if (rc != 0) {
    if (result.message[0])
      LOG(0, "%s: %.*s\n", path.c_str(), int(kCDMessageTextSize), result.message);
    else
      LOG(0, "CDlibInitCryptWithToken(%s) failed\n", path.c_str());
    closeSISfile(h);
    return -1;
  }
  h->tokenLength = T;
  return 0;
}

int findSISfile(SIShandle *h, uint64_t offset, bool canCreate) {
  uint64_t S = getLE64(h->info + sisinfo::FILE_SIZE);
  uint64_t base = offset - offset % S;
  uint64_t owner = SISownerDevice(h, base);
  if (!owner) LOG(0, "NULL hash entry pointer\n");
  if (owner && openSISfile(h, owner, "", base, 0, LOCK_SH) == 0) return 0;

  std::vector<uint64_t> records = listRecords(h);
  auto deleted = [&](uint64_t r) { return (deviceAt(h, r).flags & sisinfo::DEV_DELETED) != 0; };
  uint64_t preferred = (owner && !deleted(owner)) ? owner : 0;
  for (uint64_t r : records)
    if (!preferred && !deleted(r)) preferred = r;
  for (uint64_t r : records) {
    if (r == owner) continue;
    if (openSISfile(h, r, "", base, 0, LOCK_SH) == 0) {
      if (r != preferred)
        LOG(0, "Found single instance store file %lX in\n  %s instead of in\n  %s\n", base,
            deviceAt(h, r).path, preferred ? deviceAt(h, preferred).path : "(no device)");
      return 0;
    }
  }
  if (offset != base || !canCreate) {
    LOG(0, "Can't find existing single instance store file for offset 0x%lX, canCreate(%d)\n",
        offset, int(canCreate));
    uint8_t logErr = 0;
    iniGetBool("fileDedup", "sis_log_err", 0, &logErr, g_master_ini);
    if (logErr) {
      char suffix[64];
      snprintf(suffix, sizeof suffix, "SIS_CREATE_ERR_%016lX", base);
      saveErrorSnapshot(suffix);
    }
    return -1;
  }

  // Writers: the first device from the owner's entry onwards that takes it.
  uint32_t count = getLE32(h->info + sisinfo::HASH_COUNT);
  uint32_t start = 0;
  for (uint32_t i = 0; i < count; i++)
    if (getLE64(h->hashEntries + size_t(i) * sisinfo::ENTRY_BYTES) == owner) {
      start = i;
      break;
    }
  std::vector<uint64_t> tried;
  for (uint32_t i = 0; i < count; i++) {
    uint64_t dev = getLE64(h->hashEntries + size_t((start + i) % count) * sisinfo::ENTRY_BYTES);
    if (deleted(dev) || std::find(tried.begin(), tried.end(), dev) != tried.end()) continue;
    tried.push_back(dev);
    if (openSISfile(h, dev, "", base, O_CREAT | O_EXCL, LOCK_EX) != 0) continue;
    // The new file is ours under LOCK_EX until it has its full size.
    if (ftruncate(h->sisFd, off_t(S)) != 0) {
      LOG(0, "ftruncate(%s, 0x%lX): %s\n", h->sisPath, S, strerror(errno));
      unlink(h->sisPath);
      closeSISfile(h);
      continue;
    }
    flock(h->sisFd, LOCK_UN);
    LOG(2, "New single instance store file: %s\n", h->sisPath);
    if (dev != owner)
      LOG(0, "Single instance store file %016lX should be in\n  %s\n", base,
          owner ? deviceAt(h, owner).path : "(no device)");
    return 0;
  }
  LOG(0, "There's no room to put another single instance store file!\n");
  return -1;
}

// ---- Reading ------------------------------------------------------------------------

ssize_t readSIS(SIShandle *h, void *dst, size_t length, uint64_t offset) {
  if (!h) {
    LOG(0, "readSIS(NULL)\n");
    return -1;
  }
  if (!dst || length == 0) {
    LOG(0, "readSIS(, 0x%lX, %zd)\n", offset, ssize_t(length));
    return -1;
  }
  if (getLE32(h->info + sisinfo::VERSION) != 0) {
    LOG(0, "The version changed?!?!\n");
    return -1;
  }
  uint64_t end = getLE64(h->info + sisinfo::END_OFFSET);
  if (offset >= end) {
    LOG(0, "readSIS(): offset 0x%lX >= 0x%lX\n", offset, end);
    return -1;
  }
  if (flock(h->infoFd, LOCK_SH) != 0) {
    LOG(0, "flock(%s, LOCK_SH): %s\n", infoPath().c_str(), strerror(errno));
    return -1;
  }
  ssize_t result = -1;
  do {
    if (syncInfo(h) != 0) break;
    if (findSISfile(h, offset, false) != 0) {
      LOG(0, "Can't find single instance store file for offset 0x%lX\n", offset);
      break;
    }
    if (mapSISoffset(h, offset) != 0) {
      LOG(0, "Can't map offset 0x%lX in single instance store file\n", offset);
      break;
    }
    uint64_t windowEnd = h->windowOffset + h->windowLength;
    if (offset + length > windowEnd) {
      length = size_t(windowEnd - offset);
      LOG(5, "Adjusting length to end of mapping:  %zd\n", ssize_t(length));
    }
    end = getLE64(h->info + sisinfo::END_OFFSET);
    if (offset + length > end) {
      length = offset < end ? size_t(end - offset) : 0;
      LOG(5, "Adjusting length to end of single instance store file:  %zd\n", ssize_t(length));
    }
    if (length == 0) {
      result = 0;
      break;
    }
    size_t pos = size_t(offset - h->windowOffset);
    if (h->tokenLength == 0) {
      if (protectedCopy(dst, h->window + pos, length) != 0) {
        LOG(0, "readSIS(, 0x%lX, %zd) faulted\n", offset, ssize_t(length));
        break;
      }
    } else if (decryptCopy(h, static_cast<uint8_t *>(dst), pos, length, offset) != 0) {
      break;
    }
    result = ssize_t(length);
  } while (false);
  unlockInfo(h);
  return result;
}

ssize_t readSIScompressedBlock(SIShandle *h, void *dst, size_t length, uint64_t offset,
                               uint64_t compressedSize) {
  if (compressedSize == 0 || compressedSize == length) {
    LOG(0, "readSIScompressedBlock, invalid arguments, length %zu, compressedSize %ld, \n",
        length, long(compressedSize));
    return -1;
  }
  size_t want = std::max<size_t>(size_t(2 * compressedSize), MIN_COMPRESSED_BUFFER);
  if (h->compressedSize < want) {
    void *p = realloc(h->compressed, want);
    if (!p) {
      LOG(0, "prepareCompressedBuffer, realloc failed, length 0x%lu)\n", uint64_t(want));
      return -1;
    }
    h->compressed = static_cast<uint8_t *>(p);
    h->compressedSize = want;
  }
  uint64_t got = 0;
  while (got < compressedSize) {
    ssize_t n = readSIS(h, h->compressed + got, size_t(compressedSize - got), offset + got);
    if (n < 1) {
      LOG(3, "readSIS error or premature end-of-file reading single instance store\n");
      LOG(0, "Couldn't read from single instance store at 0x%lX\n", offset + got);
      return -1;
    }
    got += uint64_t(n);
  }
  ssize_t n = SISdecompressBlock(h->compressed, dst, size_t(compressedSize), length);
  if (n < 0) LOG(0, "SISdecompressBlock(SIS @ 0x%lX) failed\n", offset);
  return n;
}

ssize_t readSIScompressedRegion(SIShandle *h, void *dst, size_t length, uint64_t offset,
                                uint64_t compressedSize) {
  uint8_t *out = static_cast<uint8_t *>(dst);
  size_t done = 0;
  while (done < length) {
    size_t remaining = length - done;
    size_t request = std::max(remaining, REGION_STEP);
    // The capacity handed down is what is left of the destination, so the
    // decompression never writes beyond it.
    ssize_t n = readSIScompressedBlock(h, out + done, remaining, offset, compressedSize);
    if (n < 0) {
      LOG(0, "readSIScompressedRegion(SIS @ 0x%lX) failed\n", offset);
      return -1;
    }
    if (n == 0) break;  // a block that holds nothing ends the region
    done += size_t(n);
    offset += request;
  }
  return ssize_t(done);
}

ssize_t readSISsubfile(SIShandle *h, void *dst, size_t length, uint64_t offset,
                       const HashValue *record) {
  if (!h) {
    LOG(0, "readSISsubfile(NULL)\n");
    return -1;
  }
  if (!dst || length == 0) {
    LOG(0, "readSISsubfile(, 0x%lX, %zu)\n", offset, length);
    return -1;
  }
  // Offsets inside a compressed block count in uncompressed bytes and may
  // lie beyond the stored data (and so beyond the end offset); for those
  // blocks the store's end is checked against where the stored data lies.
  bool plain = record->compressedLength == 0 || record->compressedLength == record->hashedLength;
  uint64_t end = getLE64(h->info + sisinfo::END_OFFSET);
  uint64_t checked = plain ? offset : std::min(offset, record->SISoffset);
  if (checked >= end) {
    LOG(0, "readSISsubfile(): offset 0x%lX >= 0x%lX\n", offset, end);
    return -1;
  }
  if (plain) return readSIS(h, dst, length, offset);

  if (offset < record->SISoffset || offset - record->SISoffset >= record->hashedLength) {
    LOG(0, "readSISsubfile(, 0x%lX, %zu): outside block at 0x%lX\n", offset, length,
        record->SISoffset);
    return -1;
  }
  uint64_t inBlock = offset - record->SISoffset;
  size_t n = size_t(std::min<uint64_t>(record->hashedLength - inBlock, length));
  if (inBlock == 0 && n == record->hashedLength)
    return readSIScompressedRegion(h, dst, n, record->SISoffset, record->compressedLength);

  if (h->subfileHashID != record->hashID || h->subfileHashID == 0) {
    h->subfileHashID = 0;
    if (h->subfileCacheSize < record->hashedLength) {
      void *p = realloc(h->subfileCache, size_t(record->hashedLength));
      if (!p) {
        LOG(0, "readSISsubfile, realloc failed, length %lu)\n", record->hashedLength);
        return -1;
      }
      h->subfileCache = static_cast<uint8_t *>(p);
      h->subfileCacheSize = size_t(record->hashedLength);
    }
    ssize_t got = readSIScompressedRegion(h, h->subfileCache, size_t(record->hashedLength),
                                          record->SISoffset, record->compressedLength);
    if (got < 1) return got;
    // A block that decompresses short cannot serve reads beyond its end.
    if (uint64_t(got) != record->hashedLength) {
      LOG(0, "readSISsubfile: block at 0x%lX decompressed to %zd of %lu bytes\n",
          record->SISoffset, got, record->hashedLength);
      return -1;
    }
    h->subfileHashID = record->hashID;
  }
  memcpy(dst, h->subfileCache + inBlock, n);
  return ssize_t(n);
}

// ---- Small queries ------------------------------------------------------------------

uint64_t getDeduplicationBlockSize(SIShandle *h) {
  if (!h) {
    LOG(0, "NULL argument to getDeduplicationBlockSize()\n");
    return ~uint64_t(0);
  }
  return getLE64(h->info + sisinfo::BLOCK_SIZE);
}

uint32_t generateSISoffset_smgrKey(SIShandle *h, uint64_t offset) {
  if (!h) {
    LOG(0, "%s(): %s\n", __func__, strerror(EINVAL));
    return 0;
  }
  uint64_t S = getLE64(h->info + sisinfo::FILE_SIZE);
  uint64_t base = offset - offset % S;
  return uint32_t(base >> 32) ^ 0x73000000u;
}

// ---- Error snapshots ----------------------------------------------------------------

int saveErrorSnapshot(const char *suffix) {
  std::string logdir = g_logdir[0] ? g_logdir : "/tmp";
  std::string top = logdir + "/errorSnapshots";
  if (mkdir(top.c_str(), 0755) != 0 && errno != EEXIST) {
    LOG(0, "mkdir(%s): %s\n", top.c_str(), strerror(errno));
    return -1;
  }
  std::string snap = top + "/" + suffix;
  if (mkdir(snap.c_str(), 0755) != 0) {
    if (errno == EEXIST) return 0;
    LOG(0, "mkdir(%s): %s\n", snap.c_str(), strerror(errno));
    return -1;
  }
  DIR *d = opendir(logdir.c_str());
  if (!d) {
    LOG(0, "Could not open directory %s: %s\n", logdir.c_str(), strerror(errno));
    return -1;
  }
  while (struct dirent *e = readdir(d)) {
    std::string from = logdir + "/" + e->d_name;
    struct stat st;
    if (lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::string to = snap + "/" + e->d_name;
    if (link(from.c_str(), to.c_str()) != 0)
      LOG(0, "Could not save %s to %s: %s\n", from.c_str(), to.c_str(), strerror(errno));
  }
  closedir(d);

  // The archive is made in the background; ignoring SIGCHLD for the fork
  // leaves no zombie behind.
  struct sigaction ign, old;
  memset(&ign, 0, sizeof ign);
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  sigaction(SIGCHLD, &ign, &old);
  std::string file = "--file=" + snap + "/LOGS.DIR.TGZ";
  std::string dir = "--directory=" + snap;
  pid_t pid = fork();
  if (pid == 0) {
    long maxFd = sysconf(_SC_OPEN_MAX);
    for (long fd = 0; fd < (maxFd > 0 ? maxFd : 1024); fd++) close(int(fd));
    execl("/bin/tar", "tar", "--create", "--gzip", file.c_str(), dir.c_str(),
          "--exclude=LOGS.DIR.TGZ", ".", "--remove-files", (char *)nullptr);
    LOG(0, "SIS_ERROR capture cmd failed: %s\n", strerror(errno));
    _exit(127);
  }
  sigaction(SIGCHLD, &old, nullptr);
  if (pid < 0) {
    LOG(0, "fork(): %s\n", strerror(errno));
    return -1;
  }
  return 0;
}

// ---- Writer side ----------------------------------------------------------------------

int SIScreateInfoFile(uint64_t blockSize, uint64_t fileSize) {
  std::string path = infoPath();
  // Make the directory of the info file (and its parents).
  for (size_t i = 1; i < path.size(); i++) {
    if (path[i] != '/') continue;
    std::string dir = path.substr(0, i);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      LOG(0, "mkdir(%s): %s\n", dir.c_str(), strerror(errno));
      return -1;
    }
  }
  SIShandle *h = allocHandle();
  if (!h) return -1;
  int rc = -1;
  if (openInfoFile(h) == 0) {
    if (flock(h->infoFd, LOCK_EX) != 0) {
      LOG(0, "flock(%s): %s\n", path.c_str(), strerror(errno));
    } else {
      struct stat st;
      bool empty = fstat(h->infoFd, &st) == 0 && st.st_size == 0;
      if (empty) {
        // Set the sizes before the generic set-up fills in the defaults.
        uint8_t hdr[sisinfo::HEADER_BYTES] = {};
        SISinfoHeader hd{};
        hd.blockSize = blockSize;
        hd.fileSize = fileSize;
        encodeSISinfoHeader(hdr, &hd);
        std::vector<uint8_t> page(size_t(h->pageSize), 0);
        memcpy(page.data(), hdr, sizeof hdr);
        // The file is open with O_DIRECT: write it through a mapping instead.
        if (ftruncate(h->infoFd, off_t(page.size())) == 0) {
          void *m = mmap(nullptr, page.size(), PROT_READ | PROT_WRITE, MAP_SHARED, h->infoFd, 0);
          if (m != MAP_FAILED) {
            memcpy(m, page.data(), page.size());
            msync(m, page.size(), MS_SYNC);
            munmap(m, page.size());
          }
        }
      }
      rc = mapInfoFile(h, true) == 0 && prepareDeviceList(h) == 0 ? 0 : -1;
      if (rc == 0) msync(h->info, h->mappedLength, MS_SYNC);
      unlockInfo(h);
    }
  }
  freeSIS(h);
  return rc;
}

int SISaddDevice(const char *dirPath, uint32_t weight, bool deleted) {
  std::string path = dirPath;
  if (path.empty() || path.back() != '/') path += '/';
  path += "SIS/";
  SIShandle *h = allocHandle();
  if (!h) return -1;
  int rc = -1;
  if (openInfoFile(h) == 0) {
    if (flock(h->infoFd, LOCK_EX) != 0) {
      LOG(0, "flock(%s): %s\n", infoPath().c_str(), strerror(errno));
    } else {
      if (mapInfoFile(h, true) == 0 && prepareDeviceList(h) == 0) {
        weight = std::clamp<uint32_t>(weight, 1, sisinfo::DEV_MAX_WEIGHT);
        int changes = scanDevice(h, path, weight, deleted);
        if (changes >= 0) {
          // Make the deleted flag of this record take force at once.
          for (uint64_t r : listRecords(h)) {
            if (path != deviceAt(h, r).path) continue;
            uint8_t *flags = h->info + r + sisinfo::DEV_FLAGS;
            uint8_t before = *flags;
            *flags = deleted ? uint8_t(*flags | sisinfo::DEV_DELETED | sisinfo::DEV_SCAN_DELETED)
                             : uint8_t(*flags & ~(sisinfo::DEV_DELETED | sisinfo::DEV_SCAN_DELETED));
            if (*flags != before) changes++;
          }
          rc = rebuildHashEntries(h, changes);
          msync(h->info, h->mappedLength, MS_SYNC);
        }
      }
      unlockInfo(h);
    }
  }
  freeSIS(h);
  return rc;
}

int SISappendBlock(SIShandle *h, const void *data, size_t length, bool compress,
                   uint64_t *offset, uint64_t *compressedLength) {
  if (!h || !data || length == 0 || !offset || !compressedLength) {
    LOG(0, "SISappendBlock(): %s\n", strerror(EINVAL));
    return -1;
  }
  std::vector<uint8_t> packed;
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  size_t stored = length;
  *compressedLength = 0;
  if (compress) {
    packed.resize(length);
    size_t n = SIScompressBlock(data, packed.data(), length);
    if (n) {
      bytes = packed.data();
      stored = n;
      *compressedLength = n;
    }
  }
  // The exclusive lock on the info file serialises writers and keeps
  // readers out while the end offset and the span files change.
  if (flock(h->infoFd, LOCK_EX) != 0) {
    LOG(0, "flock(%s, LOCK_EX): %s\n", infoPath().c_str(), strerror(errno));
    return -1;
  }
  int rc = -1;
  do {
    if (syncInfo(h) != 0) break;
    uint64_t S = getLE64(h->info + sisinfo::FILE_SIZE);
    if (stored > S) {
      LOG(0, "SISappendBlock(): block of %zu bytes exceeds the file size 0x%lX\n", stored, S);
      break;
    }
    // A block never straddles two SIS files: one that would not fit in the
    // rest of the current span starts the next one.
    uint64_t at = getLE64(h->info + sisinfo::END_OFFSET);
    if (at % S + stored > S) at += S - at % S;
    if (findSISfile(h, at, at % S == 0) != 0) break;
    uint64_t done = 0;
    bool failed = false;
    while (done < stored) {
      if (mapSISoffset(h, at + done) != 0) {
        failed = true;
        break;
      }
      size_t pos = size_t(at + done - h->windowOffset);
      size_t n = size_t(std::min<uint64_t>(stored - done, h->windowLength - pos));
      if (protectedCopy(h->window + pos, bytes + done, n) != 0) {
        LOG(0, "SISappendBlock(, 0x%lX, %zu) faulted\n", at + done, n);
        failed = true;
        break;
      }
      size_t syncStart = pos - pos % size_t(h->pageSize);
      if (msync(h->window + syncStart, pos + n - syncStart, MS_SYNC) != 0)
        LOG(0, "msync(%s): %s\n", h->sisPath, strerror(errno));
      done += n;
    }
    if (failed) break;
    putLE64(h->info + sisinfo::END_OFFSET, at + stored);
    msync(h->info, size_t(h->pageSize), MS_SYNC);
    *offset = at;
    rc = 0;
  } while (false);
  unlockInfo(h);
  return rc;
}
