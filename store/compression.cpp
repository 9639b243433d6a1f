// compression.cpp: compression streams: the state's life cycle, the
// channels, the engine step for pass, zlib (gzip members) and LZ4 (frames)
// and the compression index written when a compress stream closes.
//
// Output layout of a compress stream: unit after unit, one per
// `_blockoctets` of input, then two index blocks (every segment, then
// every 10 MiB of input). Each unit is independent, so a reader can start
// at any unit the index names.
#include "store/compression.h"

#include <fcntl.h>
#include <lz4.h>
#include <lz4hc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "lib/logger.h"
#include "lib/syspath.h"
#include "store/hardcompress.h"

namespace {

// ---- little-endian helpers --------------------------------------------

void putLE32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t getLE32(const uint8_t *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
void putLE64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = (uint8_t)(v >> (8 * i));
}

// ---- unit headers ----------------------------------------------------

// gzip member header: magic, deflate, no flags, no time, no extra flags,
// operating system Unix.
constexpr size_t kGzipHeaderSize = 10;
constexpr uint8_t kGzipHeader[kGzipHeaderSize] = {0x1f, 0x8b, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x03};
// CRC-32 and ISIZE replace zlib's 4-byte Adler-32 trailer.
constexpr size_t kGzipTrailerGrowth = 4;

// LZ4 frame: magic, FLG (version 01, independent blocks, block checksums,
// content checksum), BD (64 KiB blocks), header checksum.
constexpr size_t kLz4FrameHeaderSize = 7;
constexpr uint8_t kLz4Magic[4] = {0x04, 0x22, 0x4d, 0x18};
constexpr uint8_t kLz4Flg = 0x74;
constexpr uint8_t kLz4Bd = 0x40;
constexpr size_t kLz4BlockSize = 65536;
constexpr uint32_t kLz4StoredBit = 0x80000000u;
// Block size word and block checksum around each block's data.
constexpr size_t kLz4BlockOverhead = 8;
// End mark and content checksum.
constexpr size_t kLz4FrameEnd = 8;

// A unit starts only when its header fits.
constexpr size_t kUnitHeaderRoom = 10;

constexpr size_t kIndexTableStart = 8192;

// ---- statistics --------------------------------------------------------

std::atomic<uint64_t> g_readNs{0}, g_writeNs{0}, g_compressNs{0}, g_moveNs{0};

uint64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

// Adds the time since construction to a counter.
struct Timed {
  std::atomic<uint64_t> &counter;
  uint64_t start = nowNs();
  explicit Timed(std::atomic<uint64_t> &c) : counter(c) {}
  ~Timed() { counter += nowNs() - start; }
};

// ---- small accessors -------------------------------------------------

size_t fill(const VxCompressionChannel &c) { return (size_t)(c.buf.p - c.buf.low); }
size_t room(const VxCompressionChannel &c) { return (size_t)(c.buf.high - c.buf.p); }
size_t capacity(const VxCompressionChannel &c) { return (size_t)(c.buf.high - c.buf.low); }
bool hasFile(const VxCompressionChannel &c) { return c._fd >= 0 || c._file != nullptr; }
// Input offset one past the last byte in the input buffer.
off_t inputTotal(const VxCompressionState *st) { return st->inpput.offset + (off_t)fill(st->inpput); }
// Output offset of the next byte produced.
off_t outputNext(const VxCompressionState *st) { return st->output.offset + (off_t)fill(st->output); }

// Records a failure: sets _error and _errorDetails and logs the text.
__attribute__((format(printf, 3, 4))) int fail(VxCompressionState *st, int code, const char *format,
                                               ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(st->_errorDetails, sizeof st->_errorDetails, format, ap);
  va_end(ap);
  st->_error = code;
  vxLog(0, "%s", st->_errorDetails);
  return code;
}

// Logs the state dump at level 0 (after a failed step, flush or close).
void logDump(const VxCompressionState *st) {
  static thread_local char text[8192];
  dumpVxCompressionState(st, text, sizeof text);
  vxLog(0, "%.8192s\n", text);
}

// Checks the state and its channels; -2 (logged) when any is invalid.
int checkState(VxCompressionState *st, const char *who) {
  if (st == nullptr) {
    vxLog(0, "%.80s st=%p version=%d\n", who, (void *)st, 0);
    return VX_COMP_INVALID;
  }
  if (st->_version != kVxCompressionVersion) {
    vxLog(0, "%.80s st=%p version=%d\n", who, (void *)st, st->_version);
    return VX_COMP_INVALID;
  }
  const VxCompressionChannel *ch[2] = {&st->inpput, &st->output};
  for (const VxCompressionChannel *c : ch) {
    if (c->_version != kVxCompressionVersion) {
      vxLog(0, "%.80s st=%p channel version=%d\n", who, (void *)st, c->_version);
      return VX_COMP_INVALID;
    }
    if (c->buf._version != kVxCompressionVersion) {
      vxLog(0, "%.80s st=%p buf version=%d\n", who, (void *)st, c->buf._version);
      return VX_COMP_INVALID;
    }
  }
  return 0;
}

// Removes n consumed bytes from the front of the input buffer.
void consumeInput(VxCompressionState *st, size_t n) {
  if (n == 0) return;
  Timed t(g_moveNs);
  VxCompressionBuffer &b = st->inpput.buf;
  size_t left = (size_t)(b.p - b.low) - n;
  if (left) memmove(b.low, b.low + n, left);
  b.p = b.low + left;
  st->inpput.offset += (off_t)n;
}

// ---- channel set-up and teardown -------------------------------------

void initChannel(VxCompressionChannel *c) {
  memset(c, 0, sizeof *c);
  c->_version = kVxCompressionVersion;
  c->buf._version = kVxCompressionVersion;
  c->_seek = fseeko;
  c->_tell = ftello;
  c->_fd = -1;
}

// Closes what the stream opened and frees what it allocated. 0 or -4.
int closeChannel(VxCompressionChannel *c, const char *name) {
  int rc = 0;
  if (c->_apicloses) {
    if (c->_file && fclose(c->_file) != 0) {
      vxLog(0, "%.80s: errno=%d\n", "DestroyVxCompressionState", errno);
      rc = VX_COMP_IO;
    }
    if (c->_fd >= 0 && close(c->_fd) != 0) {
      vxLog(0, "%.80s: %s.fd=%d errno=%d\n", "DestroyVxCompressionState", name, c->_fd, errno);
      rc = VX_COMP_IO;
    }
  } else if (c->_file) {
    fflush(c->_file);
  }
  c->_file = nullptr;
  c->_fd = -1;
  if (c->buf._apifrees) free(c->buf.low);
  c->buf.low = c->buf.p = c->buf.high = nullptr;
  c->buf._apifrees = 0;
  c->buf._version = 0;
  c->_version = 0;
  return rc;
}

// ---- index table ---------------------------------------------------

// Appends one output offset to the entry table, growing it (doubling plus
// one entry) when full.
int appendIndexEntry(VxCompressionState *st, int64_t offset) {
  VxCompressionIndex &ix = st->_index;
  if (ix._p == ix._high) {
    size_t len = (size_t)(ix._high - ix._low);
    size_t newlen = len * 2 + 1;
    auto *t = (int64_t *)realloc(ix._low, newlen * sizeof(int64_t));
    if (t == nullptr) return fail(st, VX_COMP_NOMEM, "%.80s newlen=%lu\n", "VxCompressionBlock", newlen);
    ix._low = t;
    ix._p = t + len;
    ix._high = t + newlen;
  }
  *ix._p++ = offset;
  return 0;
}

// ---- unit start ------------------------------------------------------

// Opens the next unit: range, checksums, index entry and the engine's
// header. Called only while input remains beyond _blkend.
int startUnit(VxCompressionState *st) {
  VxCompressionEngine &e = st->_engine;
  if (room(st->output) < kUnitHeaderRoom) {
    if (fill(st->output) > 0) return 0;  // wait until the output drains
    return fail(st, VX_COMP_NOROOM, "%.80s: no room for a unit header\n", "VxCompressionBlock");
  }
  e._blkstart = e._blkend;
  e._blkend = e._blkstart + (off_t)e._blockoctets;
  e._checksummed = e._blkstart;
  e._crc32 = (uint32_t)crc32(0L, Z_NULL, 0);
  e._adler32 = (uint32_t)adler32(0L, Z_NULL, 0);
  e._unitoutstart = outputNext(st);

  VxCompressionIndex &ix = st->_index;
  if (e._blkstart >= ix._segend) {
    if (appendIndexEntry(st, (int64_t)e._unitoutstart) != 0) return st->_error;
    ix._segstart = e._blkstart;
    ix._segend = e._blkstart + (off_t)ix._segmentoctets;
  }

  VxCompressionBuffer &o = st->output.buf;
  if (e._type == VX_ENGINE_ZLIB) {
    memset(&e._zstream, 0, sizeof e._zstream);
    int rc = deflateInit2(&e._zstream, e._level, Z_DEFLATED, MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) {
      return fail(st, VX_COMP_ZLIB, "%.80s: %d(%.80s)=deflateInit\n", "VxCompressionBlock", rc,
                  e._zstream.msg ? e._zstream.msg : "(nil)");
    }
    e._zinit = 1;
    // The gzip header goes out with the unit's first deflate output, written
    // over zlib's own 2-byte header (see zlibUnitStep).
  } else if (e._type == VX_ENGINE_LZ4) {
    uint8_t *h = (uint8_t *)o.p;
    memcpy(h, kLz4Magic, 4);
    h[4] = kLz4Flg;
    h[5] = kLz4Bd;
    h[6] = (uint8_t)((vxXxh32(h + 4, 2) >> 8) & 0xff);
    o.p += kLz4FrameHeaderSize;
    e._frameopen = 1;
    e._blockchecksum = 1;
    e._blockslinked = 0;
    e._hascontentchecksum = 1;
    e._blockmaxid = 4;
    vxXxh32Reset(&e._contentchecksum);
  }
  e._eof = 0;
  return 0;
}

// ---- zlib compress ---------------------------------------------------

// Feeds the current unit's input to deflate; at the unit's end replaces
// zlib's Adler-32 trailer with the gzip CRC-32 and ISIZE.
int zlibUnitStep(VxCompressionState *st) {
  VxCompressionEngine &e = st->_engine;
  VxCompressionBuffer &o = st->output.buf;
  off_t present = inputTotal(st) < e._blkend ? inputTotal(st) : e._blkend;
  if (e._flush && present < e._blkend) e._blkend = present;  // finish with the input at hand
  size_t avail = (size_t)(present - st->inpput.offset);
  bool finishing = present == e._blkend;
  // Room for the deflate output plus the 4 bytes the gzip trailer adds;
  // at least a few bytes so that deflate can progress.
  if (room(st->output) < kGzipTrailerGrowth + 16) return 0;
  if (VxCompressionBlockUpdateChecksums(st, present) != 0) return st->_error;

  z_stream &z = e._zstream;
  // Until the unit's first output, its gzip header is not in the buffer:
  // deflate writes 8 bytes further on, so that zlib's 2-byte header lands on
  // the last two bytes of the gzip header, which is then written over it.
  bool first = z.total_out == 0;
  if (first && room(st->output) < kGzipHeaderSize + kGzipTrailerGrowth + 16) return 0;
  char *start = first ? o.p + (kGzipHeaderSize - 2) : o.p;
  z.next_in = (Bytef *)st->inpput.buf.low;
  z.avail_in = (uInt)avail;
  z.next_out = (Bytef *)start;
  z.avail_out = (uInt)((size_t)(o.high - start) - kGzipTrailerGrowth);
  int rc;
  {
    Timed t(g_compressNs);
    rc = deflate(&z, finishing ? Z_FINISH : Z_NO_FLUSH);
  }
  if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
    return fail(st, VX_COMP_ZLIB, "%.80s: %d(%.80s)=deflate\n", "VxCompressionBlock", rc,
                z.msg ? z.msg : "(nil)");
  }
  if (first) {
    if (z.total_out == 0) {  // nothing produced yet: nothing committed
      consumeInput(st, avail - z.avail_in);
      return 0;
    }
    uint8_t b0 = (uint8_t)start[0];
    if (b0 != 0x78) return fail(st, VX_COMP_ZLIB, "%.80s: %02x != 0x0f\n", "VxCompressionBlock", b0);
    memcpy(o.p, kGzipHeader, kGzipHeaderSize);
  }
  o.p = (char *)z.next_out;
  consumeInput(st, avail - z.avail_in);
  if (rc != Z_STREAM_END) return 0;

  uint8_t *tail = (uint8_t *)o.p - 4;
  uint32_t target = (uint32_t)tail[0] << 24 | (uint32_t)tail[1] << 16 | (uint32_t)tail[2] << 8 | tail[3];
  if (target != e._adler32) {
    return fail(st, VX_COMP_ZLIB, "%.80s: engine.adler=%08x target=%08x\n", "VxCompressionBlock",
                e._adler32, target);
  }
  putLE32(tail, e._crc32);
  putLE32(tail + 4, (uint32_t)(uint64_t)(e._blkend - e._blkstart));
  o.p += kGzipTrailerGrowth;
  e._zinit = 0;
  rc = deflateEnd(&z);
  if (rc != Z_OK) {
    return fail(st, VX_COMP_ZLIB, "%.80s: %d(%.80s)=deflateEnd\n", "VxCompressionBlock", rc,
                z.msg ? z.msg : "(nil)");
  }
  e._eof = 1;
  return 0;
}

// ---- LZ4 compress ----------------------------------------------------

// Compresses whole blocks of the current unit's input into the frame;
// writes the end mark and content checksum when the unit is complete.
int lz4UnitStep(VxCompressionState *st) {
  VxCompressionEngine &e = st->_engine;
  VxCompressionBuffer &o = st->output.buf;
  for (;;) {
    off_t present = inputTotal(st) < e._blkend ? inputTotal(st) : e._blkend;
    if (e._flush && present < e._blkend) e._blkend = present;
    bool complete = present == e._blkend;
    size_t avail = (size_t)(present - st->inpput.offset);
    if (avail == 0) {
      if (!complete) return 0;
      if (room(st->output) < kLz4FrameEnd) return 0;
      putLE32((uint8_t *)o.p, 0);
      putLE32((uint8_t *)o.p + 4, vxXxh32Digest(&e._contentchecksum));
      o.p += kLz4FrameEnd;
      e._frameopen = 0;
      e._eof = 1;
      return 0;
    }
    size_t len = avail < kLz4BlockSize ? avail : kLz4BlockSize;
    if (len < kLz4BlockSize && !complete) return 0;  // keep blocks full while input comes
    size_t need = len + kLz4BlockOverhead;
    if (room(st->output) < need) {
      if (fill(st->output) > 0) return 0;  // drain first
      // An output buffer smaller than a block: cut the block to fit.
      if (room(st->output) <= kLz4BlockOverhead + 1)
        return fail(st, VX_COMP_INCONSISTENT, "%.80s output too small for an LZ4 block\n",
                    "VxCompressionBlock");
      len = room(st->output) - kLz4BlockOverhead;
    }
    const char *src = st->inpput.buf.low;
    char *dst = o.p + 4;
    int n;
    {
      Timed t(g_compressNs);
      // An output limit of len - 1 makes success mean "smaller".
      if (e._level > 3)
        n = LZ4_compress_HC(src, dst, (int)len, (int)len - 1, e._level);
      else
        n = LZ4_compress_default(src, dst, (int)len, (int)len - 1);
    }
    uint32_t size;
    if (n <= 0) {
      memcpy(dst, src, len);
      n = (int)len;
      size = (uint32_t)len | kLz4StoredBit;
    } else {
      size = (uint32_t)n;
    }
    putLE32((uint8_t *)o.p, size);
    putLE32((uint8_t *)dst + n, vxXxh32(dst, (size_t)n));
    vxXxh32Update(&e._contentchecksum, src, len);
    o.p = dst + n + 4;
    consumeInput(st, len);
  }
}

// ---- LZ4 decompress --------------------------------------------------

size_t lz4BlockMax(int id) { return (size_t)1 << (8 + 2 * id); }

// Decodes frames from the input buffer into the output buffer: headers,
// whole blocks (size, data and checksum present) and end marks.
int lz4DecodeStep(VxCompressionState *st) {
  VxCompressionEngine &e = st->_engine;
  VxCompressionBuffer &in = st->inpput.buf;
  VxCompressionBuffer &o = st->output.buf;
  bool ended = st->inpput._eof != 0;
  for (;;) {
    const uint8_t *b = (const uint8_t *)in.low;
    size_t avail = fill(st->inpput);
    if (!e._frameopen) {
      if (avail == 0) return 0;
      size_t cmp = avail < 4 ? avail : 4;
      if (memcmp(b, kLz4Magic, cmp) != 0) {
        st->inpput._eof = 1;  // what follows the frames (the index) ends the data
        uint8_t m[4] = {0, 0, 0, 0};
        memcpy(m, b, cmp);
        return fail(st, VX_COMP_NOTLZ4, "Not a LZ4 magic number: %x%x%x%x\n", m[0], m[1], m[2], m[3]);
      }
      if (avail < kLz4FrameHeaderSize) {
        if (ended) return fail(st, VX_COMP_CORRUPT, "Truncated LZ4 frame header: %zu bytes\n", avail);
        return 0;
      }
      uint8_t flg = b[4], bd = b[5];
      if ((flg & 0x01) || (flg & 0xc0) != 0x40)
        return fail(st, VX_COMP_CORRUPT, "Invalid LZ4 stream FLG version: %x != 0x40\n", flg & 0xc0);
      if (bd & 0x8f) return fail(st, VX_COMP_CORRUPT, "Invalid LZ4 stream BD reserved bits: %x\n", bd & 0x8f);
      size_t hlen = kLz4FrameHeaderSize + ((flg & 0x08) ? 8 : 0);
      if (avail < hlen) {
        if (ended) return fail(st, VX_COMP_CORRUPT, "Truncated LZ4 frame header: %zu bytes\n", avail);
        return 0;
      }
      if (((vxXxh32(b + 4, hlen - 5) >> 8) & 0xff) != b[hlen - 1])
        return fail(st, VX_COMP_CORRUPT, "LZ4 header checksum error\n");
      e._blockslinked = (flg & 0x20) ? 0 : 1;
      e._blockchecksum = (flg & 0x10) ? 1 : 0;
      e._hascontentchecksum = (flg & 0x04) ? 1 : 0;
      e._blockmaxid = (bd >> 4) & 7;
      if (e._blockmaxid < 4) e._blockmaxid = 4;
      if (e._blockslinked) {
        // Our writers produce independent blocks only; decoding linked
        // blocks would need the previous 64 KiB of output, which the
        // caller may already have taken.
        return fail(st, VX_COMP_CORRUPT, "LZ4 linked blocks are not supported\n");
      }
      vxXxh32Reset(&e._contentchecksum);
      e._frameopen = 1;
      consumeInput(st, hlen);
      continue;
    }
    if (avail < 4) {
      if (ended) return fail(st, VX_COMP_CORRUPT, "Truncated LZ4 stream: %zu bytes left\n", avail);
      return 0;
    }
    uint32_t word = getLE32(b);
    if (word == 0) {
      if (avail < kLz4FrameEnd) {
        if (ended) return fail(st, VX_COMP_CORRUPT, "Truncated LZ4 stream: %zu bytes left\n", avail);
        return 0;
      }
      uint32_t stored = getLE32(b + 4);
      uint32_t computed = 0;
      if (e._hascontentchecksum)
        computed = vxXxh32Digest(&e._contentchecksum);
      else
        vxLog(0, "LZ4 stream checksum is NULL.\n");
      if (stored != computed) return fail(st, VX_COMP_CORRUPT, "LZ4 stream hash failed.\n");
      consumeInput(st, kLz4FrameEnd);
      e._frameopen = 0;
      continue;
    }
    bool raw = (word & kLz4StoredBit) != 0;
    size_t n = word & ~kLz4StoredBit;
    if (n > lz4BlockMax(e._blockmaxid))
      return fail(st, VX_COMP_CORRUPT, "Invalid LZ4 block size: %zu\n", n);
    size_t need = n + kLz4BlockOverhead;
    // A block that cannot lie whole in the input buffer (or, stored, in the
    // output buffer) would never be taken: fail instead of waiting forever
    // for room, which callers would read as the data having ended.
    if (need > capacity(st->inpput) || (raw && n > capacity(st->output)))
      return fail(st, VX_COMP_CORRUPT, "LZ4 block of %zu bytes exceeds the stream's buffers\n", n);
    if (avail < need) {
      if (ended) return fail(st, VX_COMP_CORRUPT, "Truncated LZ4 stream: %zu bytes left\n", avail);
      return 0;
    }
    if (e._blockchecksum && vxXxh32(b + 4, n) != getLE32(b + 4 + n))
      return fail(st, VX_COMP_CORRUPT, "LZ4 block hash failed.\n");
    size_t produced;
    if (raw) {
      if (room(st->output) < n) return 0;
      memcpy(o.p, b + 4, n);
      produced = n;
    } else {
      int r;
      {
        Timed t(g_compressNs);
        r = LZ4_decompress_safe((const char *)b + 4, o.p, (int)n, (int)room(st->output));
      }
      if (r < 0) {
        // With the output buffer empty the block can never fit: it is
        // corrupt (or larger than the whole buffer); fail instead of
        // waiting for room that will not come.
        if (fill(st->output) == 0)
          return fail(st, VX_COMP_CORRUPT, "LZ4 block does not decode (%zu bytes).\n", n);
        return 0;
      }
      produced = (size_t)r;
    }
    vxXxh32Update(&e._contentchecksum, o.p, produced);
    o.p += produced;
    consumeInput(st, need);
  }
}

// ---- pass --------------------------------------------------------------

void passStep(VxCompressionState *st) {
  size_t n = fill(st->inpput);
  if (room(st->output) < n) n = room(st->output);
  if (n == 0) return;
  {
    Timed t(g_moveNs);
    memcpy(st->output.buf.p, st->inpput.buf.low, n);
  }
  st->output.buf.p += n;
  consumeInput(st, n);
}

// What an engine step may change; a step that changes none of it is idle.
struct Progress {
  off_t inOffset, outOffset, blkstart;
  size_t inFill, outFill;
  int unitOpen, frameOpen, inEof;
  bool operator==(const Progress &) const = default;
};

Progress progressOf(const VxCompressionState *st) {
  return Progress{st->inpput.offset, st->output.offset, st->_engine._blkstart,
                  fill(st->inpput),  fill(st->output),  !st->_engine._eof,
                  st->_engine._frameopen, st->inpput._eof};
}

// One pass of the engine step.
int blockOnce(VxCompressionState *st, bool forceRead) {
  VxCompressionChannel &in = st->inpput;
  VxCompressionChannel &out = st->output;
  VxCompressionEngine &e = st->_engine;

  // 1-2. Bring stdio channels back to their offsets when their buffers are
  // empty (someone else may have moved the file).
  if (fill(out) == 0 && out._file) {
    off_t pos = out._tell(out._file);
    if (pos != out.offset && out._seek(out._file, out.offset, SEEK_SET) != 0)
      return fail(st, VX_COMP_IO, "%.80s: output seek to %lld errno=%d\n", "VxCompressionBlock",
                  (long long)out.offset, errno);
  }
  if (fill(in) == 0 && in._file) {
    off_t pos = in._tell(in._file);
    if (pos != in.offset && in._seek(in._file, in.offset, SEEK_SET) != 0)
      return fail(st, VX_COMP_IO, "%.80s: input seek to %lld errno=%d\n", "VxCompressionBlock",
                  (long long)in.offset, errno);
  }
  // 3. Pending output.
  if (VxCompressionBlockWrite(st) < 0) return st->_error;
  // 4. Input: large reads only, unless flushing.
  if (hasFile(in) && !in._eof && (in._flush || forceRead || room(in) > capacity(in) / 2)) {
    if (VxCompressionRead(st, room(in)) < 0) return st->_error;
  }
  // 5. Input end: the last unit and segment end with the input.
  if (in._eof) {
    out._flush = 1;
    off_t total = inputTotal(st);
    if (st->_op == VX_COMPRESS && !e._eof && e._blkend > total) e._blkend = total;
    if (st->_index._segend > total) st->_index._segend = total;
  }
  // 6-8. Process by operation and engine; start the next unit.
  int rc = 0;
  switch (st->_op) {
    case VX_PASS:
      passStep(st);
      break;
    case VX_DECOMPRESS:
      if (e._type != VX_ENGINE_LZ4)
        return fail(st, VX_COMP_INCONSISTENT, "%.80s op=%d not supported by engine (%d)\n",
                    "VxCompressionBlock", st->_op, e._type);
      rc = lz4DecodeStep(st);
      break;
    case VX_COMPRESS:
      if (e._type == VX_ENGINE_NONE)
        return fail(st, VX_COMP_INCONSISTENT, "%.80s op=%d not supported by engine (%d)\n",
                    "VxCompressionBlock", st->_op, e._type);
      for (;;) {
        if (!e._eof) {
          if (e._type == VX_ENGINE_ZLIB)
            rc = zlibUnitStep(st);
          else if (e._type == VX_ENGINE_LZ4)
            rc = lz4UnitStep(st);
          else
            rc = hardCompressBlock(st);
          if (rc != 0 || !e._eof) break;
        }
        if (inputTotal(st) <= e._blkend) break;
        rc = startUnit(st);
        if (rc != 0 || e._eof) break;  // error, or no room for the header yet
      }
      break;
  }
  if (rc != 0) return rc;
  // 9. Pending output again.
  if (VxCompressionBlockWrite(st) < 0) return st->_error;
  return 0;
}

}  // namespace

// ---- public: creation and destruction ---------------------------------

VxCompressionState *CreateVxCompressionState(VxCompressionOp op, _VxCompressionEngineType engine,
                                             int level, const char *inputPath,
                                             const char *outputPath, FILE *inputFile,
                                             FILE *outputFile, int inputFd, int outputFd,
                                             size_t blockOctets, size_t segmentOctets,
                                             char *inputBuffer, size_t inputOctets,
                                             char *outputBuffer, size_t outputOctets) {
  static const char *const who = "CreateVxCompressionState";
  auto *st = (VxCompressionState *)calloc(1, sizeof(VxCompressionState));
  if (st == nullptr) return nullptr;
  st->_version = kVxCompressionVersion;
  st->_op = op;
  initChannel(&st->inpput);
  initChannel(&st->output);
  st->_engine._type = engine;
  st->_engine._level = level;
  st->_engine._eof = 1;
  st->_engine._fd = -1;

  // A debugger hook: with verbose logging, wait while the wait file exists.
  if (log_level >= 5 || log_screen_level >= 5) {
    std::string wait = sysPath("/tmp") + "/" + who + "_wait";
    struct stat sb;
    while (stat(wait.c_str(), &sb) == 0) {
      vxLog(0, "Waiting for %.80s to be removed...\n", wait.c_str());
      sleep(2);
    }
  }

  if (inputBuffer && inputOctets == 0) {
    fail(st, VX_COMP_INVALID, "%.80s inpoctets=%lu inpbuffer=%p\n", who, inputOctets, (void *)inputBuffer);
    return st;
  }
  if (outputBuffer && outputOctets == 0) {
    fail(st, VX_COMP_INVALID, "%.80s outoctets=%lu outbuffer=%p\n", who, outputOctets, (void *)outputBuffer);
    return st;
  }
  if (inputBuffer && outputBuffer && inputBuffer < outputBuffer + outputOctets &&
      outputBuffer < inputBuffer + inputOctets) {
    fail(st, VX_COMP_INVALID, "%.80s inpoctets=%lu inpbuffer=%p outoctets=%lu outbuffer=%p\n", who,
         inputOctets, (void *)inputBuffer, outputOctets, (void *)outputBuffer);
    return st;
  }
  if (op == VX_COMPRESS && outputBuffer && outputOctets < kVxMinCompressOutput) {
    fail(st, VX_COMP_INVALID, "%.80s outoctets=%lu\n", who, outputOctets);
    return st;
  }
  if (op < VX_COMPRESS || op > VX_PASS) {
    fail(st, VX_COMP_INVALID, "%.80s op=%d\n", who, (int)op);
    return st;
  }
  if (segmentOctets == 0) segmentOctets = kVxDefaultSegmentOctets;
  if (kVxCoarseIndexOctets % segmentOctets != 0) {
    fail(st, VX_COMP_INCONSISTENT, "%s Index segment size must be a factor of 10MB\n", who);
    return st;
  }
  if (blockOctets == 0) blockOctets = engine == VX_ENGINE_RX9 ? kVxHardwareBlockOctets : segmentOctets;
  st->_engine._blockoctets = blockOctets;

  VxCompressionIndex &ix = st->_index;
  ix._segmentoctets = segmentOctets;
  ix._headerpadding = kIndexHeaderSize;
  ix._trailerpadding = kIndexTrailerSize;
  ix._grouping = kIndexGrouping;
  ix._low = (int64_t *)malloc(kIndexTableStart * sizeof(int64_t));
  if (ix._low == nullptr) {
    fail(st, VX_COMP_NOMEM, "%.80s unable to allocate table padding\n", who);
    return st;
  }
  ix._p = ix._low;
  ix._high = ix._low + kIndexTableStart;
  if (engine == VX_ENGINE_RX9) {
    ix._magic = kIndexHardMagic;
    ix._tablepadding = kIndexHardPadding;
    st->_engine._fd = rx9Open();
    if (st->_engine._fd < 0) {
      fail(st, VX_COMP_IO, "%.80s: open(%.32s, %d) failed errno=%d\n", who, kRx9Device, O_RDWR, errno);
      return st;
    }
  } else {
    ix._magic = kIndexSoftMagic;
    ix._tablepadding = kIndexSoftPadding;
  }

  // Channels: paths the stream opens, else the caller's stream or fd.
  if (inputPath) {
    st->inpput._file = fopen(inputPath, "rb");
    if (st->inpput._file == nullptr) {
      fail(st, VX_COMP_IO, "%.80s: fopen(%.32s, rb) failed errno=%d\n", who, inputPath, errno);
      return st;
    }
    st->inpput._apicloses = 1;
  } else if (inputFile) {
    st->inpput._file = inputFile;
  } else {
    st->inpput._fd = inputFd;
  }
  if (outputPath) {
    st->output._file = fopen(outputPath, "wb");
    if (st->output._file == nullptr) {
      fail(st, VX_COMP_IO, "%.80s: fopen(%.32s, wb) failed errno=%d\n", who, outputPath, errno);
      return st;
    }
    st->output._apicloses = 1;
  } else if (outputFile) {
    st->output._file = outputFile;
  } else {
    st->output._fd = outputFd;
  }

  if (inputBuffer == nullptr) {
    if (inputOctets == 0) inputOctets = segmentOctets;
    inputBuffer = (char *)malloc(inputOctets);
    if (inputBuffer == nullptr) {
      fail(st, VX_COMP_NOMEM, "%.80s unable to allocate inpput %lu octets\n", who, inputOctets);
      return st;
    }
    st->inpput.buf._apifrees = 1;
  }
  st->inpput.buf.low = st->inpput.buf.p = inputBuffer;
  st->inpput.buf.high = inputBuffer + inputOctets;
  if (outputBuffer == nullptr) {
    if (outputOctets == 0) outputOctets = blockOctets + segmentOctets;
    outputOctets += 1024;
    outputBuffer = (char *)malloc(outputOctets);
    if (outputBuffer == nullptr) {
      fail(st, VX_COMP_NOMEM, "%.80s unable to allocate output %lu octets\n", who, outputOctets);
      return st;
    }
    st->output.buf._apifrees = 1;
  }
  st->output.buf.low = st->output.buf.p = outputBuffer;
  st->output.buf.high = outputBuffer + outputOctets;

  if (capacity(st->inpput) < blockOctets) {
    fail(st, VX_COMP_INCONSISTENT, "%.80s inpput.buf.high=%p .low=%p engine.blockoctsts=%lu\n", who,
         (void *)st->inpput.buf.high, (void *)st->inpput.buf.low, blockOctets);
    return st;
  }
  if (capacity(st->output) < segmentOctets) {
    fail(st, VX_COMP_INCONSISTENT, "%.80s output.buf.high=%p .low=%p index.segmentoctsts=%lu\n", who,
         (void *)st->output.buf.high, (void *)st->output.buf.low, segmentOctets);
    return st;
  }
  st->_error = 0;
  return st;
}

int DestroyVxCompressionState(VxCompressionState *st) {
  if (checkState(st, "DestroyVxCompressionState") != 0) return VX_COMP_INVALID;
  int rc = 0;
  VxCompressionEngine &e = st->_engine;
  if (e._fd >= 0 && close(e._fd) != 0) {
    vxLog(0, "%.80s: engine._fd=%d errno=%d\n", "DestroyVxCompressionState", e._fd, errno);
    rc = VX_COMP_IO;
  }
  e._fd = -1;
  if (e._zinit) deflateEnd(&e._zstream);
  e._zinit = 0;
  free(st->_index._low);
  st->_index._low = st->_index._p = st->_index._high = nullptr;
  if (closeChannel(&st->inpput, "inpput") != 0) rc = VX_COMP_IO;
  if (closeChannel(&st->output, "output") != 0) rc = VX_COMP_IO;
  st->_version = 0;
  if (rc != 0) st->_error = rc;
  return rc;
}

void FreeVxCompressionState(VxCompressionState *st) {
  if (st == nullptr) return;
  if (st->_version == kVxCompressionVersion) {
    // A half-created state may have channels that never got their version.
    st->inpput._version = st->inpput.buf._version = kVxCompressionVersion;
    st->output._version = st->output.buf._version = kVxCompressionVersion;
    DestroyVxCompressionState(st);
  }
  free(st);
}

// ---- public: channels ------------------------------------------------

ssize_t VxCompressionRead(VxCompressionState *st, size_t max) {
  if (checkState(st, "VxCompressionRead") != 0) return VX_COMP_INVALID;
  VxCompressionChannel &in = st->inpput;
  size_t n = room(in) < max ? room(in) : max;
  if (n == 0 || !hasFile(in)) return 0;
  ssize_t got;
  {
    Timed t(g_readNs);
    if (in._file) {
      got = (ssize_t)fread(in.buf.p, 1, n, in._file);
      if (got == 0 && ferror(in._file)) got = -1;
    } else {
      do {
        got = read(in._fd, in.buf.p, n);
      } while (got < 0 && errno == EINTR);
    }
  }
  if (got < 0) return fail(st, VX_COMP_IO, "%.80s: read errno=%d\n", "VxCompressionRead", errno);
  if (got == 0) {
    in._eof = 1;
    in._flush = 0;
    return 0;
  }
  in.buf.p += got;
  return got;
}

ssize_t VxCompressionWrite(VxCompressionState *st, size_t max) {
  if (checkState(st, "VxCompressionWrite") != 0) return VX_COMP_INVALID;
  VxCompressionChannel &out = st->output;
  size_t n = fill(out) < max ? fill(out) : max;
  if (n == 0 || !hasFile(out) || out._eof) return 0;
  ssize_t put;
  {
    Timed t(g_writeNs);
    if (out._file) {
      put = (ssize_t)fwrite(out.buf.low, 1, n, out._file);
      if (put == 0 && ferror(out._file)) put = -1;
    } else {
      do {
        put = write(out._fd, out.buf.low, n);
      } while (put < 0 && errno == EINTR);
    }
  }
  if (put < 0) {
    out._eof = 1;  // the output has ended
    return fail(st, VX_COMP_IO, "%.80s: write errno=%d\n", "VxCompressionWrite", errno);
  }
  size_t left = fill(out) - (size_t)put;
  if (left) {
    Timed t(g_moveNs);
    memmove(out.buf.low, out.buf.low + put, left);
  }
  out.buf.p = out.buf.low + left;
  out.offset += put;
  return put;
}

int VxCompressionBlockWrite(VxCompressionState *st) {
  if (checkState(st, "VxCompressionBlockWrite") != 0) return VX_COMP_INVALID;
  while (fill(st->output) > 0 && hasFile(st->output) && !st->output._eof) {
    ssize_t n = VxCompressionWrite(st, fill(st->output));
    if (n < 0) return (int)n;
    if (n == 0) break;
  }
  return 0;
}

size_t VxCompressionPutInput(VxCompressionState *st, const void *bytes, size_t n) {
  if (st == nullptr || st->_version != kVxCompressionVersion) return 0;
  size_t take = room(st->inpput) < n ? room(st->inpput) : n;
  memcpy(st->inpput.buf.p, bytes, take);
  st->inpput.buf.p += take;
  return take;
}

void VxCompressionInputEnd(VxCompressionState *st) {
  if (st == nullptr || st->_version != kVxCompressionVersion) return;
  st->inpput._eof = 1;
  st->inpput._flush = 0;
}

size_t VxCompressionTakeOutput(VxCompressionState *st, void *dst, size_t max) {
  if (st == nullptr || st->_version != kVxCompressionVersion) return 0;
  VxCompressionChannel &out = st->output;
  size_t n = fill(out) < max ? fill(out) : max;
  if (n == 0) return 0;
  if (dst) memcpy(dst, out.buf.low, n);
  size_t left = fill(out) - n;
  if (left) memmove(out.buf.low, out.buf.low + n, left);
  out.buf.p = out.buf.low + left;
  out.offset += (off_t)n;
  return n;
}

size_t VxCompressionPending(const VxCompressionState *st) {
  if (st == nullptr || st->_version != kVxCompressionVersion) return 0;
  return fill(st->output);
}

int VxCompressionInpSeek(VxCompressionState *st, off_t offset) {
  if (checkState(st, "VxCompressionInpSeek") != 0) return VX_COMP_INVALID;
  VxCompressionChannel &in = st->inpput;
  if (in._file == nullptr)
    return fail(st, VX_COMP_INVALID, "%.80s: input is not a stdio stream\n", "VxCompressionInpSeek");
  if (in._seek(in._file, offset, SEEK_SET) != 0)
    return fail(st, VX_COMP_IO, "%.80s: seek to %lld errno=%d\n", "VxCompressionInpSeek",
                (long long)offset, errno);
  in.buf.p = in.buf.low;
  in.offset = offset;
  in._eof = 0;
  return 0;
}

int VxCompressionBlockUpdateChecksums(VxCompressionState *st, off_t upto) {
  if (checkState(st, "VxCompressionBlockUpdateChecksums") != 0) return VX_COMP_INVALID;
  VxCompressionEngine &e = st->_engine;
  if (upto <= e._checksummed) return 0;
  if (e._checksummed < st->inpput.offset || upto > inputTotal(st))
    return fail(st, VX_COMP_INCONSISTENT, "%.80s: checksummed=%lld upto=%lld outside the input\n",
                "VxCompressionBlockUpdateChecksums", (long long)e._checksummed, (long long)upto);
  const Bytef *p = (const Bytef *)st->inpput.buf.low + (e._checksummed - st->inpput.offset);
  uInt n = (uInt)(upto - e._checksummed);
  Timed t(g_compressNs);
  e._crc32 = (uint32_t)crc32(e._crc32, p, n);
  e._adler32 = (uint32_t)adler32(e._adler32, p, n);
  e._checksummed = upto;
  return 0;
}

// ---- public: the engine step, flush and close ------------------------

int VxCompressionBlock(VxCompressionState *st) {
  if (checkState(st, "VxCompressionBlock") != 0) return VX_COMP_INVALID;
  if (st->_error < 0) return st->_error;  // a failed stream only closes
  bool forceRead = false;
  for (;;) {
    Progress before = progressOf(st);
    int rc = blockOnce(st, forceRead);
    if (rc != 0) {
      logDump(st);
      return rc;
    }
    if (!(progressOf(st) == before)) {
      forceRead = false;
      continue;
    }
    // Idle with a half-full input buffer: the current unit or LZ4 block may
    // need more input than the large-read rule lets in; read once more.
    VxCompressionChannel &in = st->inpput;
    if (forceRead || !hasFile(in) || in._eof || room(in) == 0) return 0;
    forceRead = true;
  }
}

int VxCompressionFlush(VxCompressionState *st) {
  if (checkState(st, "VxCompressionFlush") != 0) return VX_COMP_INVALID;
  st->_engine._flush = 1;
  st->output._flush = 1;
  for (;;) {
    Progress before = progressOf(st);
    int rc = VxCompressionBlock(st);
    if (rc != 0) return rc;
    if (progressOf(st) == before) break;
  }
  // Mid-stream flushes end the current unit only; later units fill again.
  if (!st->inpput._eof) st->_engine._flush = 0;
  return 0;
}

namespace {

// Lays out the two index blocks and puts into the output whatever of them
// is not yet there, piece by piece (header, entry, trailer). Returns 0 when
// all is in the output, 1 when the output is full, or an error.
int writeIndex(VxCompressionState *st) {
  VxCompressionIndex &ix = st->_index;
  if (ix._written == 0) ix._offset = outputNext(st);
  const size_t listed = (size_t)(ix._p - ix._low);
  const size_t k = kVxCoarseIndexOctets / ix._segmentoctets;
  size_t pos = 0;  // layout position of the next piece
  auto put = [&](const uint8_t *bytes, size_t len) -> int {
    if (pos + len <= ix._written) {  // written by an earlier call
      pos += len;
      return 0;
    }
    if (room(st->output) < len) return 1;
    memcpy(st->output.buf.p, bytes, len);
    st->output.buf.p += len;
    ix._written += len;
    pos += len;
    return 0;
  };
  for (int block = 0; block < 2; block++) {
    size_t stride = block == 0 ? 1 : k;
    size_t count = (listed + stride - 1) / stride;
    VxIndexHeader h{};
    memcpy(h.magic, ix._magic, 6);
    h.segmentOctets = stride * ix._segmentoctets;
    h.version = kVxCompressionVersion;
    uint8_t hb[kIndexHeaderSize];
    encodeIndexHeader(h, hb);
    if (put(hb, sizeof hb)) return 1;
    // The checksum needs the listed entries in order; gather them once.
    uint64_t sum = 0;
    uint32_t group = 0;
    size_t inGroup = 0;
    size_t slots = count > ix._tablepadding ? count : ix._tablepadding;
    for (size_t i = 0; i < slots; i++) {
      uint8_t eb[kIndexEntrySize];
      putLE64(eb, i < count ? (uint64_t)ix._low[i * stride] : 0);
      if (i < count) {
        if (inGroup == 0) group = (uint32_t)crc32(0L, Z_NULL, 0);
        group = (uint32_t)crc32(group, eb, sizeof eb);
        if (++inGroup == ix._grouping || i + 1 == count) {
          sum += group;
          inGroup = 0;
        }
      }
      if (put(eb, sizeof eb)) return 1;
    }
    VxIndexTrailer t{};
    memcpy(t.magic, ix._magic, 6);
    t.length = (unsigned)(kIndexHeaderSize + kIndexTrailerSize + kIndexEntrySize * count);
    t.checksum = (unsigned long)sum;
    uint8_t tb[kIndexTrailerSize];
    encodeIndexTrailer(t, tb);
    if (put(tb, sizeof tb)) return 1;
  }
  if (pos != ix._written)
    return fail(st, VX_COMP_INCONSISTENT, "Compression index calculated offset %zu != %zu written\n", pos,
                ix._written);
  return 0;
}

}  // namespace

int VxCompressionClose(VxCompressionState *st) {
  if (checkState(st, "VxCompressionClose") != 0) return VX_COMP_INVALID;
  if (st->_error == VX_COMP_PENDING) st->_error = 0;
  if (st->_error != 0) {
    logDump(st);
    DestroyVxCompressionState(st);
    return 0;
  }
  if (st->_op == VX_DECOMPRESS) {
    vxLog(3, "Destroying decompression state.\n");
    DestroyVxCompressionState(st);
    return 0;
  }
  // A caller-driven input has ended when the caller closes; a file input
  // is read to its end first, so that flushing cuts no unit short.
  int rc;
  if (!hasFile(st->inpput)) {
    st->inpput._eof = 1;
  } else if (!st->inpput._eof) {
    if ((rc = VxCompressionBlock(st)) != 0) return rc;
    if (!st->inpput._eof) {
      if (!st->output._eof) return st->_error = VX_COMP_PENDING;
      return fail(st, VX_COMP_IO, "%.80s: Unable to finish compression: _engine._eof=%d, output._eof=%d\n",
                  "VxCompressionClose", st->_engine._eof, st->output._eof);
    }
  }
  rc = VxCompressionFlush(st);
  if (rc != 0) return rc;
  if (fill(st->inpput) > 0 || (st->_engine._eof == 0)) {
    if (!st->output._eof) return st->_error = VX_COMP_PENDING;
    return fail(st, VX_COMP_IO, "%.80s: Unable to finish compression: _engine._eof=%d, output._eof=%d\n",
                "VxCompressionClose", st->_engine._eof, st->output._eof);
  }
  if (st->_op == VX_COMPRESS) {
    for (;;) {
      rc = writeIndex(st);
      if (rc < 0) {
        logDump(st);
        return rc;
      }
      if (VxCompressionBlockWrite(st) < 0) return st->_error;
      if (rc == 0 || fill(st->output) > 0) break;  // done, or waiting for the caller to drain
    }
    if (rc == 1 && !hasFile(st->output)) return st->_error = VX_COMP_PENDING;
  }
  if (VxCompressionBlockWrite(st) < 0) return st->_error;
  if (fill(st->output) > 0 || rc == 1) {
    if (!hasFile(st->output) || !st->output._eof) return st->_error = VX_COMP_PENDING;
    return fail(st, VX_COMP_IO, "%.80s: Unable to write compressed file: output._fd=%d, ._eof=%d\n",
                "VxCompressionClose", st->output._fd, st->output._eof);
  }
  if (st->output._file && fflush(st->output._file) != 0)
    return fail(st, VX_COMP_IO, "%.80s: errno=%d\n", "VxCompressionClose", errno);
  return DestroyVxCompressionState(st);
}

// ---- public: detection, names, dump, statistics ------------------------

int getCompressionType(const void *buffer, int length) {
  if (length < 4) {
    vxLog(0, "Invalid argument: not enough data (%d < %d).\n", length, 4);
    return 0;
  }
  if (buffer == nullptr) {
    vxLog(0, "Invalid argument: memory buffer is NULL.\n");
    return 0;
  }
  const uint8_t *b = (const uint8_t *)buffer;
  if (b[0] == 0x1f && b[1] == 0x8b) {
    vxLog(4, "Compression type: zlib\n");
    return VX_ENGINE_ZLIB;
  }
  if (memcmp(b, kLz4Magic, 4) == 0) {
    vxLog(4, "Compression type: lz4\n");
    return VX_ENGINE_LZ4;
  }
  vxLog(4, "Compression type: unknown\n");
  return VX_ENGINE_NONE;
}

_VxCompressionEngineType parseCompressEngine(const char *name) {
  if (name == nullptr) name = "auto";
  static const struct {
    const char *name;
    _VxCompressionEngineType type;
  } table[] = {{"ugz", VX_ENGINE_ZLIB}, {"lz4", VX_ENGINE_LZ4},   {"zlib", VX_ENGINE_ZLIB},
               {"rx9", VX_ENGINE_RX9},  {"none", VX_ENGINE_NONE}, {"auto", VX_ENGINE_ZLIB}};
  for (const auto &t : table)
    if (strncasecmp(name, t.name, 8) == 0) return t.type;
  vxLog(1, "unknown CompressEngine value: %.80s\n", name);
  return VX_ENGINE_NONE;
}

int dumpVxCompressionState(const VxCompressionState *st, char *out, size_t size) {
  if (size == 0) return 0;
  size_t n = 0;
  auto add = [&](const char *format, ...) __attribute__((format(printf, 2, 3))) {
    if (n >= size) return;
    va_list ap;
    va_start(ap, format);
    int w = vsnprintf(out + n, size - n, format, ap);
    va_end(ap);
    if (w > 0) n = n + (size_t)w < size ? n + (size_t)w : size - 1;
  };
  out[0] = '\0';
  if (st == nullptr) {
    add("(VxCompressionState) NULL");
    return (int)n;
  }
  const VxCompressionEngine &e = st->_engine;
  const VxCompressionIndex &ix = st->_index;
  add("(VxCompressionState) {\n");
  add("._version = (int) %d,\n", st->_version);
  add("._error = (_VxCompressionErr) %d,\n", st->_error);
  add("._errorDetails = \"%.200s\",\n", st->_errorDetails);
  add("._op = (VxCompressionOp) %d,\n", st->_op);
  add("._engine = (VxCompressionEngine) {\n");
  add("  ._type = (_VxCompressionEngineType) %d,\n", e._type);
  add("  ._level = (int) %d,\n", e._level);
  add("  ._blockoctets = (size_t) %zu,\n", e._blockoctets);
  add("  ._blkstart = (off_t) %lld,\n", (long long)e._blkstart);
  add("  ._blkend = (off_t) %lld,\n", (long long)e._blkend);
  add("  ._checksummed = (off_t) %lld,\n", (long long)e._checksummed);
  add("  ._crc32 = (uint32_t) 0x%08x,\n", e._crc32);
  add("  ._adler32 = (uint32_t) 0x%08x,\n", e._adler32);
  add("  ._unitoutstart = (off_t) %lld,\n", (long long)e._unitoutstart);
  add("  ._eof = (int) %d,\n", e._eof);
  add("  ._flush = (int) %d,\n", e._flush);
  add("  ._fd = (int) %d,\n", e._fd);
  add("  ._rx9 = { .error_code = %d, .size = %zu, .context_index = %d, .object_flag = %d, "
      ".data_ptr = %p, .consumed = %zu },\n",
      e._rx9.error_code, e._rx9.size, e._rx9.context_index, e._rx9.object_flag,
      (void *)e._rx9.data_ptr, e._rx9.consumed);
  add("  ._zstream = { .total_in = %lu, .total_out = %lu, .avail_in = %u, .avail_out = %u },\n",
      (unsigned long)e._zstream.total_in, (unsigned long)e._zstream.total_out, e._zstream.avail_in,
      e._zstream.avail_out);
  add("  ._frameopen = (int) %d, ._blockchecksum = (int) %d, ._blockslinked = (int) %d,\n",
      e._frameopen, e._blockchecksum, e._blockslinked);
  add("  ._hascontentchecksum = (int) %d, ._blockmaxid = (int) %d,\n", e._hascontentchecksum,
      e._blockmaxid);
  add("},\n");
  add("._index = (VxCompressionIndex) {\n");
  add("  ._magic = \"%s\",\n", ix._magic ? ix._magic : "");
  add("  ._segmentoctets = (size_t) %zu,\n", ix._segmentoctets);
  add("  ._headerpadding = (size_t) %zu, ._trailerpadding = (size_t) %zu,\n", ix._headerpadding,
      ix._trailerpadding);
  add("  ._grouping = (size_t) %zu, ._tablepadding = (size_t) %zu,\n", ix._grouping, ix._tablepadding);
  add("  ._written = (size_t) %zu, ._offset = (off_t) %lld,\n", ix._written, (long long)ix._offset);
  add("  ._low = %p, ._p = %p, ._high = %p,\n", (void *)ix._low, (void *)ix._p, (void *)ix._high);
  add("  ._segstart = (off_t) %lld, ._segend = (off_t) %lld,\n", (long long)ix._segstart,
      (long long)ix._segend);
  add("},\n");
  const VxCompressionChannel *ch[2] = {&st->inpput, &st->output};
  const char *names[2] = {"inpput", "output"};
  for (int i = 0; i < 2; i++) {
    const VxCompressionChannel &c = *ch[i];
    add(".%s = (VxCompressionChannel) {\n", names[i]);
    add("  ._version = (int) %d,\n", c._version);
    add("  .buf = { ._version = %d, .low = %p, .p = %p, .high = %p, ._apifrees = %d },\n",
        c.buf._version, (void *)c.buf.low, (void *)c.buf.p, (void *)c.buf.high, c.buf._apifrees);
    add("  .offset = (off_t) %lld, ._eof = (int) %d, ._flush = (int) %d,\n", (long long)c.offset,
        c._eof, c._flush);
    add("  ._fd = (int) %d, ._file = %p, ._apicloses = (int) %d,\n", c._fd, (void *)c._file,
        c._apicloses);
    add("},\n");
  }
  add("}");
  return (int)n;
}

VxCompressionStats VxCompressionGetStats() {
  return VxCompressionStats{g_readNs.load(), g_writeNs.load(), g_compressNs.load(), g_moveNs.load()};
}

// ---- xxHash-32 -------------------------------------------------------

namespace {
constexpr uint32_t kP1 = 0x9E3779B1u, kP2 = 0x85EBCA77u, kP3 = 0xC2B2AE3Du, kP4 = 0x27D4EB2Fu,
                   kP5 = 0x165667B1u;
inline uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
inline uint32_t xxRound(uint32_t acc, uint32_t in) { return rotl(acc + in * kP2, 13) * kP1; }
}  // namespace

void vxXxh32Reset(VxXxh32State *s) {
  memset(s, 0, sizeof *s);
  s->v[0] = kP1 + kP2;
  s->v[1] = kP2;
  s->v[2] = 0;
  s->v[3] = 0u - kP1;
}

void vxXxh32Update(VxXxh32State *s, const void *bytes, size_t n) {
  const uint8_t *p = (const uint8_t *)bytes;
  s->total += n;
  if (s->memsize + n < 16) {
    memcpy(s->mem + s->memsize, p, n);
    s->memsize += (uint32_t)n;
    return;
  }
  if (s->memsize) {
    size_t take = 16 - s->memsize;
    memcpy(s->mem + s->memsize, p, take);
    for (int i = 0; i < 4; i++) s->v[i] = xxRound(s->v[i], getLE32(s->mem + 4 * i));
    p += take;
    n -= take;
    s->memsize = 0;
  }
  while (n >= 16) {
    for (int i = 0; i < 4; i++) s->v[i] = xxRound(s->v[i], getLE32(p + 4 * i));
    p += 16;
    n -= 16;
  }
  memcpy(s->mem, p, n);
  s->memsize = (uint32_t)n;
}

uint32_t vxXxh32Digest(const VxXxh32State *s) {
  uint32_t h;
  if (s->total >= 16)
    h = rotl(s->v[0], 1) + rotl(s->v[1], 7) + rotl(s->v[2], 12) + rotl(s->v[3], 18);
  else
    h = s->v[2] + kP5;  // v[2] holds the seed (0)
  h += (uint32_t)s->total;
  const uint8_t *p = s->mem;
  size_t n = s->memsize;
  while (n >= 4) {
    h = rotl(h + getLE32(p) * kP3, 17) * kP4;
    p += 4;
    n -= 4;
  }
  while (n > 0) {
    h = rotl(h + (*p) * kP5, 11) * kP1;
    p++;
    n--;
  }
  h ^= h >> 15;
  h *= kP2;
  h ^= h >> 13;
  h *= kP3;
  h ^= h >> 16;
  return h;
}

uint32_t vxXxh32(const void *bytes, size_t n) {
  VxXxh32State s;
  vxXxh32Reset(&s);
  vxXxh32Update(&s, bytes, n);
  return vxXxh32Digest(&s);
}
