// hactar.h: the HaCTAR, the hash-aware archive of one backup.
//
// A HaCTAR is a backup archive in which every deduplicated range has been
// replaced by a reference to the block that holds its bytes. Whoever holds
// the HaCTAR and the referenced blocks can rebuild the archive exactly: the
// appliance's "recipe" command writes it, the Vault stand-in (vaultd)
// checks that it holds every referenced block and rebuilds the byte stream
// from it. This header is self-contained (no library to link): the encoder
// and the decoder are inline, and so is the CRC-32 they share.
//
// Byte layout. All integers are little-endian; there is no padding.
//
//   File header, 16 bytes:
//     0   8  magic "VXHACTAR"
//     8   4  version (u32), 1
//     12  4  reserved (u32), 0
//   Then records, each starting with a 4-byte tag (u32):
//   Literal record, 12-byte head followed by the data:
//     0   4  tag 1
//     4   8  length L (u64)
//     12  L  L bytes of the archive, copied verbatim
//   Block reference record, 84 bytes:
//     0   4  tag 2
//     4   8  hash type, text padded with NUL bytes ("sha512")
//     12  8  hashed length L (u64): the block stands for L archive bytes
//     20  64 hash value, left-aligned, zero-padded
//   End record, 24 bytes, exactly once, last in the file:
//     0   4  tag 3
//     4   8  archive length (u64): sum of the lengths of all records
//     12  8  record count (u64): literal and block records before the end
//     20  4  CRC-32 (u32) of every byte of the file before this field
//
// The archive is the concatenation, in file order, of each literal's bytes
// and each referenced block's content. The CRC-32 is the reflected IEEE
// 802.3 CRC (polynomial 0xEDB88320, initial 0xFFFFFFFF, final complement),
// the same as zlib's crc32.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace hactar {

constexpr char kMagic[8] = {'V', 'X', 'H', 'A', 'C', 'T', 'A', 'R'};
constexpr uint32_t kVersion = 1;

constexpr uint32_t kTagLiteral = 1;
constexpr uint32_t kTagBlock = 2;
constexpr uint32_t kTagEnd = 3;

constexpr size_t kHeaderSize = 16;
constexpr size_t kLiteralHeadSize = 12;
constexpr size_t kBlockRecordSize = 84;
constexpr size_t kEndRecordSize = 24;

// Field offsets inside the records.
constexpr size_t kBlockTypeOffset = 4;
constexpr size_t kBlockLengthOffset = 12;
constexpr size_t kBlockHashOffset = 20;
constexpr size_t kEndLengthOffset = 4;
constexpr size_t kEndCountOffset = 12;
constexpr size_t kEndCrcOffset = 20;

constexpr size_t kHashTypeSize = 8;
constexpr size_t kHashValueSize = 64;

static_assert(kBlockHashOffset + kHashValueSize == kBlockRecordSize,
              "block record is tag + type + length + hash");
static_assert(kEndCrcOffset + 4 == kEndRecordSize, "end record ends with its CRC");

// ---- little-endian helpers ----

inline void encodeFixed32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void encodeFixed64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t decodeFixed32(const uint8_t *p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}
inline uint64_t decodeFixed64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

// ---- CRC-32 ----

// Eight tables, so the CRC advances eight bytes per step ("slicing by
// eight"): a HaCTAR runs to megabytes and both its writer and the Vault's
// reader check every byte, on the replication's path. Table 0 is the
// byte-at-a-time table; table k gives the CRC of a byte followed by k zero
// bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> makeCrcTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (size_t k = 1; k < 8; k++)
    for (uint32_t n = 0; n < 256; n++) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  return t;
}
inline constexpr std::array<std::array<uint32_t, 256>, 8> kCrcTables = makeCrcTables();

// Continues a CRC-32: start with crc = 0; crc32Update(0, p, 0) == 0.
inline uint32_t crc32Update(uint32_t crc, const void *data, size_t n) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  const auto &t = kCrcTables;
  crc = ~crc;
  for (; n >= 8; n -= 8, p += 8) {
    uint32_t lo = crc ^ decodeFixed32(p), hi = decodeFixed32(p + 4);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; n > 0; n--, p++) crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

// ---- record encoders (fixed-size output buffers) ----

inline void encodeHeader(uint8_t out[kHeaderSize]) {
  memcpy(out, kMagic, 8);
  encodeFixed32(out + 8, kVersion);
  encodeFixed32(out + 12, 0);
}
inline void encodeLiteralHead(uint8_t out[kLiteralHeadSize], uint64_t length) {
  encodeFixed32(out, kTagLiteral);
  encodeFixed64(out + 4, length);
}
// hashType is copied up to 8 characters and NUL-padded; hashValue must hold
// 64 bytes.
inline void encodeBlockRecord(uint8_t out[kBlockRecordSize], const char *hashType,
                              uint64_t hashedLength, const uint8_t *hashValue) {
  encodeFixed32(out, kTagBlock);
  memset(out + kBlockTypeOffset, 0, kHashTypeSize);
  size_t n = strnlen(hashType, kHashTypeSize);
  memcpy(out + kBlockTypeOffset, hashType, n);
  encodeFixed64(out + kBlockLengthOffset, hashedLength);
  memcpy(out + kBlockHashOffset, hashValue, kHashValueSize);
}
// `crcBefore` is the CRC of every file byte before this record.
inline void encodeEndRecord(uint8_t out[kEndRecordSize], uint64_t archiveLength,
                            uint64_t recordCount, uint32_t crcBefore) {
  encodeFixed32(out, kTagEnd);
  encodeFixed64(out + kEndLengthOffset, archiveLength);
  encodeFixed64(out + kEndCountOffset, recordCount);
  encodeFixed32(out + kEndCrcOffset, crc32Update(crcBefore, out, kEndCrcOffset));
}

// ---- streaming writer ----

// Writes a HaCTAR to a stdio stream. Usage: begin, any number of
// addLiteral/addBlock in archive order, finish. Every call returns 0 or -1;
// after a failure the writer stays failed and `error` says why. The stream
// is not closed.
struct Writer {
  FILE *f = nullptr;
  uint32_t crc = 0;
  uint64_t archiveLength = 0;
  uint64_t records = 0;
  bool failed = false;
  bool finished = false;
  std::string error;

  int put(const void *p, size_t n) {
    if (failed) return -1;
    if (n && fwrite(p, 1, n, f) != n) {
      failed = true;
      error = "write failed";
      return -1;
    }
    crc = crc32Update(crc, p, n);
    return 0;
  }
  int begin(FILE *stream) {
    f = stream;
    crc = 0;
    archiveLength = records = 0;
    failed = finished = false;
    error.clear();
    uint8_t h[kHeaderSize];
    encodeHeader(h);
    return put(h, sizeof h);
  }
  // A literal of length 0 writes nothing.
  int addLiteral(const void *data, uint64_t length) {
    if (length == 0) return failed ? -1 : 0;
    uint8_t h[kLiteralHeadSize];
    encodeLiteralHead(h, length);
    if (put(h, sizeof h) < 0 || put(data, length) < 0) return -1;
    archiveLength += length;
    records++;
    return 0;
  }
  int addBlock(const char *hashType, uint64_t hashedLength, const uint8_t *hashValue) {
    uint8_t r[kBlockRecordSize];
    encodeBlockRecord(r, hashType, hashedLength, hashValue);
    if (put(r, sizeof r) < 0) return -1;
    archiveLength += hashedLength;
    records++;
    return 0;
  }
  int finish() {
    if (failed) return -1;
    uint8_t e[kEndRecordSize];
    encodeEndRecord(e, archiveLength, records, crc);
    if (put(e, sizeof e) < 0) return -1;
    if (fflush(f) != 0) {
      failed = true;
      error = "flush failed";
      return -1;
    }
    finished = true;
    return 0;
  }
};

// ---- streaming reader ----

struct Record {
  uint32_t tag = 0;            // kTagLiteral or kTagBlock
  uint64_t length = 0;         // literal length or hashed length
  uint64_t archiveOffset = 0;  // where the record's bytes start in the archive
  char hashType[kHashTypeSize + 1] = {};  // block records: NUL-terminated
  uint8_t hashValue[kHashValueSize] = {};
};

// Reads a HaCTAR from a stdio stream and checks it as it goes. open() reads
// the header; next() returns 1 with the next record, 0 at a valid end
// record (CRC, length and count checked, nothing after it), -1 on any
// malformation with `error` set. For a literal the caller may read its
// bytes with readLiteral() before calling next() again; unread bytes are
// skipped (and still checked by the CRC).
struct Reader {
  FILE *f = nullptr;
  uint32_t crc = 0;
  uint64_t archiveLength = 0;
  uint64_t records = 0;
  uint64_t literalLeft = 0;
  std::string error;

  int fail(const char *why) {
    error = why;
    return -1;
  }
  int get(void *p, size_t n) {
    if (n && fread(p, 1, n, f) != n) return fail("truncated HaCTAR");
    crc = crc32Update(crc, p, n);
    return 0;
  }
  int open(FILE *stream) {
    f = stream;
    crc = 0;
    archiveLength = records = literalLeft = 0;
    error.clear();
    uint8_t h[kHeaderSize];
    if (get(h, sizeof h) < 0) return -1;
    if (memcmp(h, kMagic, 8) != 0) return fail("not a HaCTAR (bad magic)");
    if (decodeFixed32(h + 8) != kVersion) return fail("unsupported HaCTAR version");
    return 0;
  }
  // Reads up to n bytes of the current literal; returns the count read
  // (0 when the literal is used up) or -1.
  long readLiteral(void *buf, size_t n) {
    if (n > literalLeft) n = literalLeft;
    if (get(buf, n) < 0) return -1;
    literalLeft -= n;
    return static_cast<long>(n);
  }
  int next(Record *r) {
    uint8_t skip[65536];
    while (literalLeft > 0) {
      if (readLiteral(skip, sizeof skip) < 0) return -1;
    }
    uint8_t tag[4];
    if (get(tag, 4) < 0) return -1;
    r->tag = decodeFixed32(tag);
    r->archiveOffset = archiveLength;
    if (r->tag == kTagLiteral) {
      uint8_t len[8];
      if (get(len, 8) < 0) return -1;
      r->length = decodeFixed64(len);
      literalLeft = r->length;
      archiveLength += r->length;
      records++;
      return 1;
    }
    if (r->tag == kTagBlock) {
      uint8_t body[kBlockRecordSize - 4];
      if (get(body, sizeof body) < 0) return -1;
      memset(r->hashType, 0, sizeof r->hashType);
      memcpy(r->hashType, body, kHashTypeSize);
      r->length = decodeFixed64(body + kBlockLengthOffset - 4);
      memcpy(r->hashValue, body + kBlockHashOffset - 4, kHashValueSize);
      archiveLength += r->length;
      records++;
      return 1;
    }
    if (r->tag == kTagEnd) {
      uint8_t body[kEndCrcOffset - 4];
      if (get(body, sizeof body) < 0) return -1;
      uint32_t expect = crc;
      uint8_t c[4];
      if (fread(c, 1, 4, f) != 4) return fail("truncated HaCTAR");
      if (decodeFixed32(c) != expect) return fail("HaCTAR checksum mismatch");
      if (decodeFixed64(body) != archiveLength) return fail("HaCTAR archive length mismatch");
      if (decodeFixed64(body + 8) != records) return fail("HaCTAR record count mismatch");
      // A HaCTAR that travelled encrypted arrives with the cipher's zero
      // padding (less than one 32-byte unit); anything else is an error.
      int ch, padding = 0;
      while ((ch = fgetc(f)) != EOF)
        if (ch != 0 || ++padding >= 32) return fail("data after the HaCTAR end record");
      return 0;
    }
    return fail("unknown HaCTAR record tag");
  }
};

}  // namespace hactar
