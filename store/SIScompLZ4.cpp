// SIScompLZ4.cpp: LZ4 legacy-frame blocks of the single instance store.
#include "store/SIScompLZ4.h"

#include <lz4.h>

#include <climits>

#include "lib/logger.h"

namespace {

uint32_t getLE32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putLE32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

}  // namespace

size_t SIScompressBlock(const void *src, void *dst, size_t length) {
  // The output limit is the input length: a block that does not get shorter
  // is not worth decompressing later. A stored length equal to the hashed
  // length would read back as a plain block, so that case is refused too.
  if (!src || !dst || length <= sislz4::HEADER_BYTES + 1 || length > INT_MAX) return 0;
  uint8_t *out = static_cast<uint8_t *>(dst);
  int room = int(length - sislz4::HEADER_BYTES - 1);
  int n = LZ4_compress_default(static_cast<const char *>(src),
                               reinterpret_cast<char *>(out + sislz4::HEADER_BYTES), int(length),
                               room);
  if (n <= 0 || uint32_t(n) > sislz4::MAX_DATA) return 0;
  putLE32(out + sislz4::MAGIC, sislz4::LEGACY_MAGIC);
  putLE32(out + sislz4::DATA_LENGTH, uint32_t(n));
  return sislz4::HEADER_BYTES + size_t(n);
}

ssize_t SISdecompressBlock(const void *src, void *dst, size_t srcSize, size_t dstCapacity) {
  const uint8_t *in = static_cast<const uint8_t *>(src);
  if (!in || !dst || srcSize < sislz4::HEADER_BYTES) {
    LOG(0, "SISdecompressBlock, cannot read block, size too large\n");
    return -1;
  }
  uint32_t magic = getLE32(in + sislz4::MAGIC);
  if (magic != sislz4::LEGACY_MAGIC) {
    LOG(0, "SISdecompressBlock, not legacy magic number 0x%08x\n", magic);
    return -1;
  }
  uint32_t stored = getLE32(in + sislz4::DATA_LENGTH);
  if (stored == 0) {
    LOG(0, "SISdecompressBlock, nothing to read\n");
    return 0;
  }
  if (stored > sislz4::MAX_DATA) {
    LOG(0, "SISdecompressBlock, cannot read block, size too large\n");
    return -1;
  }
  // Never read past the bytes the caller holds: a truncated block then
  // fails to decode instead of reading beyond the buffer.
  size_t available = srcSize - sislz4::HEADER_BYTES;
  int inLength = int(stored < available ? stored : available);
  int capacity = dstCapacity > INT_MAX ? INT_MAX : int(dstCapacity);
  int n = LZ4_decompress_safe(reinterpret_cast<const char *>(in + sislz4::HEADER_BYTES),
                              static_cast<char *>(dst), inLength, capacity);
  if (n < 0) {
    LOG(0, "SISdecompressBlock, decoding failed\n");
    return -1;
  }
  return n;
}
