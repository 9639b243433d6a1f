// compression_index_fuzz.cpp: the compression index at the end of a
// compressed archive, read from a file of arbitrary bytes.
//
// A loaded index lists no more entries than the file could hold, and
// seeking through it stays inside the entries it has: the last segment
// positions at its entry, one segment further fails with ERANGE. The
// header and trailer decoders also get the input's first bytes directly.
#include <cerrno>

#include "store/compression.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::quietLog();
  if (size >= kIndexHeaderSize) {
    VxIndexHeader h;
    VxIndexTrailer t;
    const char *why = nullptr;
    if (decodeIndexHeader(data, &h, &why) != 0) FUZZ_CHECK(why != nullptr);
    why = nullptr;
    if (decodeIndexTrailer(data, &t, &why) != 0) FUZZ_CHECK(why != nullptr);
  }

  int fd = fuzz::memoryFile(data, size);
  off_t end = CompressedDataEnd(fd);
  FUZZ_CHECK(end >= -1 && end <= (off_t)size);
  FUZZ_CHECK(lseek(fd, 0, SEEK_CUR) == 0);  // the position is kept

  char why[256] = "";
  compressionIndex *index = LoadCompressionIndex(fd, why, sizeof why);
  if (!index) {
    FUZZ_CHECK(why[0] != '\0');
    return 0;
  }
  FUZZ_CHECK(index->count * kIndexEntrySize <= size);
  if (index->segmentSize > 0 && index->count > 0 &&
      index->count < (size_t)(INT64_MAX / index->segmentSize)) {
    long long last = (long long)index->count * index->segmentSize - 1;
    off_t at = SeekToCompressedOffset(fd, index, last);
    FUZZ_CHECK(at == (off_t)index->entries[index->count - 1] || (at == -1 && index->entries[index->count - 1] < 0));
    errno = 0;
    FUZZ_CHECK(SeekToCompressedOffset(fd, index, last + 1) == -1 && errno == ERANGE);
  }
  FreeCompressionIndex(index);
  return 0;
}
