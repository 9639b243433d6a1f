// is_tar.cpp: the archive header test (see is_tar.h).
//
// Header layout used here (offsets in the 512-byte block): name 0..99,
// group id 116..123, size 124..135, checksum 148..155, link flag 156,
// link name 157..256, and the octal field at 293 whose bit 6 marks entries
// that carry a link name without a link flag.
#include "lib/is_tar.h"

#include <cstdint>
#include <cstring>
#include <mutex>

#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"

namespace {

constexpr int kBlock = 512;
constexpr int kNameOff = 0, kNameLen = 100;
constexpr int kGidOff = 116;
constexpr int kSizeOff = 124, kSizeLen = 12;
constexpr int kChksumOff = 148, kChksumLen = 8;
constexpr int kLinkFlagOff = 156;
constexpr int kLinkNameOff = 157, kLinkNameLen = 100;
constexpr int kModeBitsOff = 293;

// Consecutive rejections since the last accepted header, per thread (each
// reader thread walks its own stream).
thread_local unsigned long t_rejected = 0;

// INCL_TAR_COMPAT of master.ini, read once per process.
std::once_flag g_compatOnce;
int g_tarCompat = 0;

int tarCompat() {
  std::call_once(g_compatOnce, [] {
    g_tarCompat = g_master_ini[0]
                      ? (int)iniGetInt("Configuration Options", "INCL_TAR_COMPAT", 0, g_master_ini)
                      : 0;
  });
  return g_tarCompat;
}

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// Octal number of a field: leading blanks and tabs skipped, digits up to
// the first non-octal character or the field's end.
long octalField(const char *p, int len) {
  int i = 0;
  while (i < len && (p[i] == ' ' || p[i] == '\t')) i++;
  long v = 0;
  for (; i < len && isOctal(p[i]); i++) v = v * 8 + (p[i] - '0');
  return v;
}

void reject(const char *reason, long stored = 0, long computed = 0) {
  t_rejected++;
  if (log_level < 3) return;
  if (t_rejected > 3 && t_rejected % 512 != 0) return;
  char repeated[48] = "";
  if (t_rejected > 1) snprintf(repeated, sizeof repeated, " (repeated %lu times)", t_rejected);
  LOG(4, "Not a header because %s%s\n", reason, repeated);
  if (strcmp(reason, "checksum") == 0) LOG(5, "checksum [%ld != %ld]\n", stored, computed);
}

void accept(const char *block) {
  t_rejected = 0;
  if (log_level < 3) return;
  char name[kNameLen + 1];
  memcpy(name, block + kNameOff, kNameLen);
  name[kNameLen] = '\0';
  char flag = block[kLinkFlagOff] ? block[kLinkFlagOff] : '0';
  LOG(3, "File: %s sz:[%.0lf] linkflag:[%c]\n", name, tarEntrySize(block), flag);
}

}  // namespace

double tarEntrySize(const char *block) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(block + kSizeOff);
  if (p[0] & 0x80) {
    // Base-256: the remaining bits big-endian.
    double v = p[0] & 0x7f;
    for (int i = 1; i < kSizeLen; i++) v = v * 256 + p[i];
    return v;
  }
  return (double)octalField(block + kSizeOff, kSizeLen);
}

int is_tar(const char *block) {
  // 1. Checksum over the block with the checksum field counted as blanks.
  long sum = 8 * ' ';
  for (int i = 0; i < kBlock; i++) {
    if (i >= kChksumOff && i < kChksumOff + kChksumLen) continue;
    sum += (signed char)block[i];
  }
  long computed = (uint16_t)sum;
  long stored = octalField(block + kChksumOff, kChksumLen);
  if (stored != computed) {
    reject("checksum", stored, computed);
    return 0;
  }
  if (computed == 256) {
    accept(block);
    return 1;
  }
  // 2. The group id starts with an octal digit (or a blank in compat mode).
  char gid = block[kGidOff];
  if (!isOctal(gid) && !(gid == ' ' && tarCompat() != 0)) {
    reject("Gid");
    return 0;
  }
  // 3. Extended header block.
  if (block[0] == 0 && block[1] == 'L' && block[2] == 0) {
    t_rejected = 0;
    if (log_level >= 3) LOG(4, "EXTHEADER block");
    return 1;
  }
  // 4. The name is NUL-padded to its full width.
  size_t nlen = strnlen(block + kNameOff, kNameLen);
  for (size_t i = nlen; i < kNameLen; i++) {
    if (block[kNameOff + i] != 0) {
      reject("Non-blank name");
      return 0;
    }
  }
  // 5. Only links may carry a link name.
  char flag = block[kLinkFlagOff];
  bool link = flag == '1' || flag == '2' || (octalField(block + kModeBitsOff, 8) & (1 << 6));
  if (!link) {
    for (int i = 0; i < kLinkNameLen; i++) {
      if (block[kLinkNameOff + i] != 0) {
        reject("Non-blank linkname");
        return 0;
      }
    }
  }
  accept(block);
  return 1;
}
