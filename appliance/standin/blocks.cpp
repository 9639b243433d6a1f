// blocks.cpp: cutting a decoded backup archive into the blocks that the
// deduplication index records (see standin.h).
//
// File-level archives are tar streams: each regular file's contents are
// cut into blocks of at most the sub-file limit, starting at the entry's
// data; headers, padding and the end marker stay outside every block.
// Image archives (bare metal, older SQL backups) are cut into fixed blocks
// from offset 0, the last one possibly shorter.
#include <cstring>
#include <vector>

#include "appliance/standin/standin.h"
#include "dedup/backupTypes.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/is_tar.h"
#include "lib/logger.h"

namespace standin {

namespace {

constexpr uint64_t kDefaultImageBlock = 65536;

// Reads and discards n bytes. 0, or -1 when the archive ends first.
int skipBytes(ArchiveReader &reader, uint64_t n) {
  uint8_t buf[65536];
  while (n > 0) {
    size_t k = n < sizeof buf ? size_t(n) : sizeof buf;
    ssize_t r = reader.readFull(buf, k);
    if (r != ssize_t(k)) return -1;
    n -= k;
  }
  return 0;
}

// Reads `length` bytes at the reader's position as one block and hands it
// on. The callback's value, or -1 when the archive ends first.
int emitBlock(ArchiveReader &reader, uint64_t length, std::vector<uint8_t> &buf,
              const std::function<int(const Block &, const uint8_t *)> &onBlock) {
  Block b{};
  b.offset = reader.offset();
  b.length = length;
  if (buf.size() < length) buf.resize(length);
  ssize_t r = reader.readFull(buf.data(), length);
  if (r < 0) return -1;
  if (uint64_t(r) != length) {
    LOG(0, "Archive ends inside the block at 0x%lX", static_cast<unsigned long>(b.offset));
    return -1;
  }
  sha512(buf.data(), length, b.digest);
  return onBlock(b, buf.data());
}

bool allZero(const uint8_t *p, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (p[i]) return false;
  return true;
}

}  // namespace

CutRule cutRuleFor(uint32_t backupType, uint64_t properties) {
  CutRule rule{};
  rule.tar = !(backupType == BACKUP_TYPE_BARE_METAL ||
               (backupType == BACKUP_TYPE_SELECTIVE && (properties & PROP_LEGACY_SQL)));
  rule.subfileBytes = maxSubfileBytes(backupType, properties);
  rule.imageBytes = kDefaultImageBlock;
  if (g_master_ini[0]) {
    long v = iniGetInt("fileDedup", "imageBlockBytes", long(kDefaultImageBlock), g_master_ini);
    if (v >= 512) rule.imageBytes = uint64_t(v);
  }
  return rule;
}

int cutBlocks(ArchiveReader &reader, const CutRule &rule,
              const std::function<int(const Block &, const uint8_t *data)> &onBlock) {
  std::vector<uint8_t> buf;
  if (!rule.tar) {
    for (;;) {
      if (buf.size() < rule.imageBytes) buf.resize(rule.imageBytes);
      uint64_t at = reader.offset();
      ssize_t r = reader.readFull(buf.data(), rule.imageBytes);
      if (r < 0) return -1;
      if (r == 0) return 0;
      Block b{};
      b.offset = at;
      b.length = uint64_t(r);
      sha512(buf.data(), size_t(r), b.digest);
      if (int rc = onBlock(b, buf.data())) return rc;
      if (uint64_t(r) < rule.imageBytes) return 0;
    }
  }
  uint8_t header[TAR_BLOCK];
  for (;;) {
    uint64_t at = reader.offset();
    ssize_t r = reader.readFull(header, TAR_BLOCK);
    if (r < 0) return -1;
    if (r < ssize_t(TAR_BLOCK)) return 0;  // no end marker: the stream just ends
    if (allZero(header, TAR_BLOCK)) return 0;
    if (!is_tar(reinterpret_cast<const char *>(header))) {
      LOG(1, "No tar header at 0x%lX; the rest of the archive is not hashed", static_cast<unsigned long>(at));
      return 0;
    }
    uint64_t size = tarHeaderSize(header);
    char type = char(header[156]);
    bool regular = type == '0' || type == '\0' || type == '7';
    if (!regular || size == 0) {
      if (skipBytes(reader, size + tarPadding(size)) != 0) return 0;
      continue;
    }
    uint64_t left = size;
    while (left > 0) {
      uint64_t n = left < rule.subfileBytes ? left : rule.subfileBytes;
      if (int rc = emitBlock(reader, n, buf, onBlock)) return rc;
      left -= n;
    }
    if (skipBytes(reader, tarPadding(size)) != 0) return 0;
  }
}

}  // namespace standin
