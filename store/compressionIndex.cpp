// compressionIndex.cpp: the compression index blocks at the end of a
// compressed archive: their header and trailer codecs, the checksum, and
// the reader that loads the index and positions a file at a segment.
//
// A block is [header 32][entries 8 bytes each, at least the table padding]
// [trailer 32]. The header reads "%.6s%-8zu%d" (magic, input bytes per
// entry, version 111) and the trailer "%6s %u %lu " (magic, index length
// without padding entries, checksum), both zero-padded to 32 bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/logger.h"
#include "store/compression.h"

static_assert(kIndexHeaderSize == 32 && kIndexTrailerSize == 32 && kIndexEntrySize == 8);

namespace {

constexpr size_t kHeaderMagicOffset = 0;
constexpr size_t kHeaderSegmentOffset = 6;
constexpr size_t kHeaderSegmentWidth = 8;
constexpr size_t kHeaderVersionOffset = 14;
constexpr size_t kTrailerLengthOffset = 7;
constexpr long long kMinIndexLength = 65;  // header + trailer + at least one byte

// Fills the caller's error text and logs it at level 0.
__attribute__((format(printf, 3, 4))) void setError(char *errorText, size_t errorSize,
                                                    const char *format, ...) {
  char text[256];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (errorText && errorSize) snprintf(errorText, errorSize, "%s", text);
  vxLog(0, "%s\n", text);
}

// Reads exactly n bytes; false on a short read or error.
bool readExact(int fd, void *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, (char *)buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) errno = EIO;
      return false;
    }
    got += (size_t)r;
  }
  return true;
}

size_t paddingBytesFor(const char *magic) {
  if (memcmp(magic, kIndexSoftMagic, 6) == 0) return kIndexSoftPadding * kIndexEntrySize;
  if (memcmp(magic, kIndexHardMagic, 6) == 0) return kIndexHardPadding * kIndexEntrySize;
  return 0;
}

}  // namespace

void encodeIndexHeader(const VxIndexHeader &h, uint8_t out[kIndexHeaderSize]) {
  char text[kIndexHeaderSize + 16];
  memset(out, 0, kIndexHeaderSize);
  int n = snprintf(text, sizeof text, "%.6s%-8zu%d", h.magic, h.segmentOctets, h.version);
  memcpy(out, text, n < (int)kIndexHeaderSize ? (size_t)n : kIndexHeaderSize);
}

int decodeIndexHeader(const uint8_t in[kIndexHeaderSize], VxIndexHeader *h, const char **why) {
  memset(h, 0, sizeof *h);
  memcpy(h->magic, in + kHeaderMagicOffset, 6);
  char seg[kHeaderSegmentWidth + 1];
  memcpy(seg, in + kHeaderSegmentOffset, kHeaderSegmentWidth);
  seg[kHeaderSegmentWidth] = '\0';
  h->segmentOctets = (size_t)strtoull(seg, nullptr, 10);
  if (memcmp(in + kHeaderVersionOffset, "111", 3) != 0) {
    if (why) *why = "bad index version";
    return -1;
  }
  h->version = kVxCompressionVersion;
  return 0;
}

void encodeIndexTrailer(const VxIndexTrailer &t, uint8_t out[kIndexTrailerSize]) {
  char text[kIndexTrailerSize + 48];
  memset(out, 0, kIndexTrailerSize);
  int n = snprintf(text, sizeof text, "%6s %u %lu ", t.magic, t.length, t.checksum);
  memcpy(out, text, n < (int)kIndexTrailerSize ? (size_t)n : kIndexTrailerSize);
}

int decodeIndexTrailer(const uint8_t in[kIndexTrailerSize], VxIndexTrailer *t, const char **why) {
  memset(t, 0, sizeof *t);
  memcpy(t->magic, in, 6);
  char text[kIndexTrailerSize + 1];
  memcpy(text, in, kIndexTrailerSize);
  text[kIndexTrailerSize] = '\0';
  char *end = nullptr;
  const char *p = text + kTrailerLengthOffset;
  errno = 0;
  unsigned long length = strtoul(p, &end, 10);
  if (end == p || errno != 0) {
    if (why) *why = "bad index file size";
    return -1;
  }
  t->length = (unsigned)length;
  if (*end == '\0') {
    if (why) *why = "bad index checksum";
    return -1;
  }
  p = end + 1;  // the separator
  errno = 0;
  unsigned long sum = strtoul(p, &end, 10);
  if (end == p || errno != 0) {
    if (why) *why = "bad index checksum";
    return -1;
  }
  t->checksum = sum;
  return 0;
}

uint64_t indexChecksum(const int64_t *entries, size_t count) {
  uint64_t sum = 0;
  uint8_t bytes[kIndexGrouping * kIndexEntrySize];
  for (size_t i = 0; i < count; i += kIndexGrouping) {
    size_t n = count - i < kIndexGrouping ? count - i : kIndexGrouping;
    for (size_t j = 0; j < n; j++) {
      uint64_t v = (uint64_t)entries[i + j];
      for (int b = 0; b < 8; b++) bytes[j * 8 + b] = (uint8_t)(v >> (8 * b));
    }
    sum += crc32(crc32(0L, Z_NULL, 0), bytes, (uInt)(n * kIndexEntrySize));
  }
  return sum;
}

int SeekToPriorIndex(int fd, long long *length, size_t *segmentSize, unsigned long *checksum,
                     char *errorText, size_t errorSize) {
  static const char *const who = "SeekToPriorIndex";
  off_t trailerStart = lseek(fd, -(off_t)kIndexTrailerSize, SEEK_CUR);
  if (trailerStart < 0) {
    setError(errorText, errorSize, "lseek64(, -32, SEEK_CUR): %s", strerror(errno));
    return -1;
  }
  uint8_t tb[kIndexTrailerSize];
  if (!readExact(fd, tb, sizeof tb)) {
    setError(errorText, errorSize, "failed to read index file: %s", strerror(errno));
    return -1;
  }
  vxLog(4, "%s: Index file trailer: %.32s\n", who, (const char *)tb);
  size_t padding = paddingBytesFor((const char *)tb);
  if (padding == 0) {
    setError(errorText, errorSize, "bad magic");
    return -1;
  }
  VxIndexTrailer t;
  const char *why = "bad index file size";
  if (decodeIndexTrailer(tb, &t, &why) != 0) {
    setError(errorText, errorSize, "%s", why);
    return -1;
  }
  if ((long long)t.length < kMinIndexLength) {  // an index without entries is no use
    setError(errorText, errorSize, "bad index file size");
    return -1;
  }
  long long entryBytes = (long long)t.length - (long long)(kIndexHeaderSize + kIndexTrailerSize);
  vxLog(4, "%s: Index file size: %lld\n", who, entryBytes);
  vxLog(4, "%s: Index file checksum: %lu\n", who, t.checksum);

  long long span = entryBytes > (long long)padding ? entryBytes : (long long)padding;
  long long start = (long long)trailerStart - (long long)kIndexHeaderSize - span;
  if (start < 0 || lseek(fd, (off_t)start, SEEK_SET) < 0) {
    setError(errorText, errorSize, "seek to start of index failed: lseek64(, %lld, SEEK_SET): %s", start,
             strerror(start < 0 ? EINVAL : errno));
    return -1;
  }
  uint8_t hb[kIndexHeaderSize];
  if (!readExact(fd, hb, sizeof hb)) {
    setError(errorText, errorSize, "failed to read index file: %s", strerror(errno));
    return -1;
  }
  if (memcmp(hb, tb, 6) != 0) {
    setError(errorText, errorSize, "bad index header magic");
    return -1;
  }
  VxIndexHeader h;
  if (decodeIndexHeader(hb, &h, &why) != 0) {
    setError(errorText, errorSize, "%s", why);
    return -1;
  }
  vxLog(4, "%s: Index file segment size: %zu\n", who, h.segmentOctets);
  if (lseek(fd, -(off_t)kIndexHeaderSize, SEEK_CUR) < 0) {
    setError(errorText, errorSize, "failed to reposition: lseek64(, -32, SEEK_CUR): %s", strerror(errno));
    return -1;
  }
  if (length) *length = (long long)t.length;
  if (segmentSize) *segmentSize = h.segmentOctets;
  if (checksum) *checksum = t.checksum;
  return 0;
}

namespace {

// Clears O_DIRECT for the life of the object (the index blocks are not
// aligned) and restores it afterwards.
struct DirectOff {
  int fd;
  bool cleared = false;
  explicit DirectOff(int f) : fd(f) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_DIRECT)) {
      vxLog(4, "clear O_DIRECT to get compression index.\n");
      if (fcntl(fd, F_SETFL, flags & ~O_DIRECT) != 0)
        vxLog(0, "ERROR: failed to clear O_DIRECT to get compression index.\n");
      else
        cleared = true;
    }
  }
  ~DirectOff() {
    if (!cleared) return;
    vxLog(4, "set O_DIRECT to continue after getting compression index.\n");
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0)
      vxLog(0, "ERROR: failed to set O_DIRECT after getting compression index.\n");
  }
};

}  // namespace

compressionIndex *LoadCompressionIndex(int fd, char *errorText, size_t errorSize) {
  DirectOff direct(fd);
  if (lseek(fd, 0, SEEK_END) < 0) {
    setError(errorText, errorSize, "failed to seek to end of backup file");
    return nullptr;
  }
  long long length = 0;
  size_t segment = 0;
  unsigned long checksum = 0;
  if (SeekToPriorIndex(fd, &length, &segment, &checksum, errorText, errorSize) != 0) {
    vxLog(0, "failed to read index: %s\n", errorText ? errorText : "");
    return nullptr;
  }
  vxLog(4, "Found index of %lld entries; %zu segment size at offset %lld\n",
        (length - (long long)(kIndexHeaderSize + kIndexTrailerSize)) / (long long)kIndexEntrySize, segment,
        (long long)lseek(fd, 0, SEEK_CUR));
  off_t lastHeader = lseek(fd, 0, SEEK_CUR);
  if (lastHeader < 0) {
    setError(errorText, errorSize, "failed to save current file offset");
    return nullptr;
  }
  // The full index precedes the coarse one; use it when it is there.
  long long length2 = 0;
  size_t segment2 = 0;
  unsigned long checksum2 = 0;
  char why[256];
  if (SeekToPriorIndex(fd, &length2, &segment2, &checksum2, why, sizeof why) == 0) {
    length = length2;
    segment = segment2;
    checksum = checksum2;
  } else {
    vxLog(4, "No secondary index found: %s\n", why);
    if (lseek(fd, lastHeader, SEEK_SET) < 0) {
      setError(errorText, errorSize, "failed to reposition: lseek(,,): %s", strerror(errno));
      return nullptr;
    }
  }
  if (lseek(fd, (off_t)kIndexHeaderSize, SEEK_CUR) < 0) {
    setError(errorText, errorSize, "failed to reposition: lseek(,,): %s", strerror(errno));
    return nullptr;
  }
  size_t count = (size_t)(length - (long long)(kIndexHeaderSize + kIndexTrailerSize)) / kIndexEntrySize;
  auto *index = (compressionIndex *)calloc(1, sizeof(compressionIndex));
  if (index == nullptr) {
    setError(errorText, errorSize, "out of memory");
    return nullptr;
  }
  index->entries = (int64_t *)malloc(count ? count * sizeof(int64_t) : 1);
  if (index->entries == nullptr) {
    free(index);
    setError(errorText, errorSize, "out of memory to store index");
    return nullptr;
  }
  std::vector<uint8_t> raw(count * kIndexEntrySize);
  if (count && !readExact(fd, raw.data(), raw.size())) {
    setError(errorText, errorSize, "failed to read index file: %s", strerror(errno));
    FreeCompressionIndex(index);
    return nullptr;
  }
  for (size_t i = 0; i < count; i++) {
    uint64_t v = 0;
    for (int b = 7; b >= 0; b--) v = v << 8 | raw[i * 8 + (size_t)b];
    index->entries[i] = (int64_t)v;
  }
  index->count = count;
  index->segmentSize = (long long)segment;
  // Older writers stored the sum scaled down by 10, 100 or 1000.
  uint64_t sum = indexChecksum(index->entries, count);
  if (checksum != sum && checksum != sum / 10 && checksum != sum / 100 && checksum != sum / 1000) {
    setError(errorText, errorSize, "bad index checksum");
    vxLog(0, "index %lu, calculated %lu\n", checksum, (unsigned long)sum);
    FreeCompressionIndex(index);
    return nullptr;
  }
  return index;
}

off_t CompressedDataEnd(int fd) {
  DirectOff direct(fd);
  off_t saved = lseek(fd, 0, SEEK_CUR);
  if (saved < 0) return -1;
  off_t start = -1;
  long long length = 0;
  size_t segment = 0;
  unsigned long checksum = 0;
  char why[256];
  if (lseek(fd, 0, SEEK_END) >= 0 &&
      SeekToPriorIndex(fd, &length, &segment, &checksum, why, sizeof why) == 0) {
    start = lseek(fd, 0, SEEK_CUR);
    // The full block, when present, lies before the coarse one.
    if (start >= 0 && SeekToPriorIndex(fd, &length, &segment, &checksum, why, sizeof why) == 0)
      start = lseek(fd, 0, SEEK_CUR);
  } else {
    vxLog(4, "No compression index at the end of the file: %s\n", why);
  }
  if (lseek(fd, saved, SEEK_SET) < 0) return -1;
  return start;
}

off_t SeekToCompressedOffset(int fd, const compressionIndex *index, long long offset) {
  if (index == nullptr || index->segmentSize <= 0 || offset < 0) {
    vxLog(0, "Invalid index structure\n");
    errno = EINVAL;
    return -1;
  }
  long long chunk = offset / index->segmentSize;
  vxLog(5, "Seeking, requested %lld rounded to %lld with chunk size %lld\n", offset,
        chunk * index->segmentSize, index->segmentSize);
  if ((unsigned long long)chunk >= index->count) {
    vxLog(0, "Requested seek offset %lld out of range (%zu index entries of size %lld each)\n", offset,
          index->count, index->segmentSize);
    errno = ERANGE;
    return -1;
  }
  return lseek(fd, (off_t)index->entries[chunk], SEEK_SET);
}

void FreeCompressionIndex(compressionIndex *index) {
  if (index == nullptr) return;
  free(index->entries);
  free(index);
  vxLog(5, "Deallocated index data\n");
}
