// archiverw.cpp: the archive I/O filter: buffered physical reads, the
// decrypt/decompress transform, virtual-offset seeking with the compression
// index, and the compressing/encrypting writer.
#include "store/archiverw.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "lib/config.h"
#include "lib/ini.h"
#include "lib/is_tar.h"
#include "lib/logger.h"
#include "store/redup.h"

namespace {

constexpr const char *kSection = "Configuration Options";
constexpr size_t kUnit = 32;                 // cipher unit
constexpr size_t kTarBlock = 512;
constexpr size_t kUserGrowth = 524288;       // user buffer sizes are multiples of this
constexpr int64_t kKeepBackMax = 131072;     // backward seeks served by keeping data back
constexpr int64_t kReadForwardMax = 32768;   // compressed seeks this short read forward
constexpr size_t kMinRead = 8192;
// Reads at least this large skip the device buffer when nothing is decoded.
constexpr size_t kDirectReadMin = 65536;

size_t roundUp(size_t v, size_t m) { return m ? (v + m - 1) / m * m : v; }

const char kTarDigits[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Grows a malloc'ed buffer to hold at least `need` bytes. 0 / -1.
int ensure(uint8_t **buf, size_t *size, size_t need) {
  if (need <= *size) return 0;
  size_t n = std::max(need, *size * 2);
  void *p = realloc(*buf, n);
  if (!p) return -1;
  *buf = static_cast<uint8_t *>(p);
  *size = n;
  return 0;
}

int fail(int err) {
  errno = err;
  return -1;
}

size_t userAvail(const archiveFilter *h) { return h->uEnd - h->uPos; }

void emptyUser(archiveFilter *h) { h->uStart = h->uPos = h->uEnd = 0; }

void emptyDevice(archiveFilter *h) { h->dPos = h->dFill = 0; }

size_t deviceAvail(const archiveFilter *h) { return h->dFill - h->dPos; }

// Releases what the transform holds.
void releaseTransform(archiveTransform *xf) {
  if (xf->zinit) inflateEnd(&xf->zs);
  xf->zinit = 0;
  if (xf->lz4) FreeVxCompressionState(xf->lz4);
  xf->lz4 = nullptr;
  if (xf->comp) {
    if (VxCompressionPending(xf->comp) || xf->comp->inpput.buf.p != xf->comp->inpput.buf.low)
      LOG(0, "Error: Closed compression with data left in buffer");
    FreeVxCompressionState(xf->comp);
  }
  xf->comp = nullptr;
  if (xf->crypt.cdlibData) CDlibReleaseCtx(&xf->crypt);
  free(xf->in);
  free(xf->out);
  free(xf->mid);
  free(xf->token);
  xf->in = xf->out = xf->mid = xf->token = nullptr;
  xf->inSize = xf->inFill = xf->outSize = xf->outFill = xf->midSize = xf->midFill = 0;
}

// Forgets the decompression in progress, so decoding restarts at a unit
// boundary (after a seek).
int resetDecompression(archiveFilter *h) {
  archiveTransform *xf = &h->xf;
  xf->inFill = 0;
  xf->holdFill = 0;
  xf->type = 0;
  xf->flags &= ~(XFORM_MEMBER_END | XFORM_DATA_END);
  if (xf->zinit) inflateReset(&xf->zs);
  if (xf->lz4) FreeVxCompressionState(xf->lz4);
  xf->lz4 = CreateVxCompressionState(VX_DECOMPRESS, VX_ENGINE_LZ4, 0, nullptr, nullptr, nullptr, nullptr, -1, -1,
                                     65536, 0, nullptr, 0, nullptr, 0);
  if (!xf->lz4 || xf->lz4->_error) {
    LOG(0, "Failed to initialize decompression state");
    return fail(ENOMEM);
  }
  return 0;
}

// Sets up the transform for the flags chosen by the context initialisation.
int prepareTransform(archiveFilter *h) {
  archiveTransform *xf = &h->xf;
  unsigned f = xf->flags;
  if ((f & (XFORM_COMPRESS | XFORM_ENCRYPT)) && (f & (XFORM_DECOMPRESS | XFORM_DECRYPT))) {
    LOG(0, "Invalid archive transformation flags: %d", int(f));
    LOG(0, "Cannot both (compress or encrypt) and (decompress or decrypt)");
    return fail(EBADMSG);
  }
  std::string names;
  const char *const label[] = {"compress", "decompress", "encrypt", "decrypt"};
  for (int i = 0; i < 4; i++)
    if (f & (1u << i)) names += (names.empty() ? "" : ", ") + std::string(label[i]);
  LOG(3, "Transform flags: %s", names.empty() ? "none" : names.c_str());
  if (f & XFORM_COMPRESS) {
    char engine[32];
    iniGetString(kSection, "CompressEngine", "auto", engine, sizeof engine, g_master_ini);
    _VxCompressionEngineType type = parseCompressEngine(engine);
    if (type == VX_ENGINE_NONE || type == VX_ENGINE_RX9) {
      if (type == VX_ENGINE_NONE) LOG(1, "Unknown compression type, using ZLIB");
      type = VX_ENGINE_ZLIB;
    }
    int level = int(iniGetInt(kSection, "CompressionLevel", 1, g_master_ini));
    long block = iniGetInt(kSection, "CompressionBlockKB", 64, g_master_ini) * 1024;
    long segment = iniGetInt(kSection, "CompressionSegmentKB", 0, g_master_ini) * 1024;
    LOG(3, "Compressing at level %d", level);
    LOG(3, "Using %d byte blocks, %d byte index chunks", int(block), int(segment));
    xf->comp = CreateVxCompressionState(VX_COMPRESS, type, level, nullptr, nullptr, nullptr, nullptr, -1, -1,
                                        size_t(block), size_t(segment), nullptr, 0, nullptr, 0);
    if (!xf->comp || xf->comp->_error) {
      LOG(0, "Failed to initialize internal compression state");
      LOG(0, "Error %d: %s", xf->comp ? xf->comp->_error : VX_COMP_NOMEM,
          xf->comp && xf->comp->_errorDetails[0] ? xf->comp->_errorDetails : "(no message)");
      return fail(ENOMEM);
    }
  }
  if (f & XFORM_DECOMPRESS) {
    memset(&xf->zs, 0, sizeof xf->zs);
    int zr = inflateInit2(&xf->zs, 47);  // 32 + 15: zlib or gzip header
    if (zr != Z_OK) {
      LOG(0, "Failed to initialize decompression state");
      LOG(0, "Error: %s", zError(zr));
      return fail(ENOMEM);
    }
    xf->zinit = 1;
    if (resetDecompression(h) != 0) return -1;
  }
  xf->flags |= XFORM_PREPARED;
  return 0;
}

// ---- Decoding ---------------------------------------------------------------

// Decrypts input into xf->mid (appending). Collects the token first.
int decryptInput(archiveFilter *h, const uint8_t *in, size_t n, int final) {
  archiveTransform *xf = &h->xf;
  size_t pos = 0;
  if (!xf->cryptReady) {
    if (!xf->token && !(xf->token = static_cast<uint8_t *>(malloc(kTarBlock)))) return fail(ENOMEM);
    if (xf->tokenFill < kTarBlock) {
      size_t take = std::min(kTarBlock - xf->tokenFill, n);
      memcpy(xf->token + xf->tokenFill, in, take);
      xf->tokenFill += take;
      pos += take;
      if (xf->tokenFill == kTarBlock) {
        uint64_t payload = 0;
        if (xf->token[156] != 'E' || parseTarSize(reinterpret_cast<char *>(xf->token) + 124, &payload) != 0) {
          LOG(0, "Should have seen encrypted token header but didn't");
          return fail(EBADMSG);
        }
        if (payload + kTarBlock > ARCH_MAX_TOKEN) {
          LOG(0, "Encrypted token too large");
          LOG(0, "Limit of 1MB token size");
          return fail(EBADMSG);
        }
        xf->tokenNeed = size_t(payload) + kTarBlock;
        void *grown = realloc(xf->token, xf->tokenNeed);
        if (!grown) return fail(ENOMEM);
        xf->token = static_cast<uint8_t *>(grown);
      }
    }
    if (xf->tokenFill >= kTarBlock) {
      size_t take = std::min(xf->tokenNeed - xf->tokenFill, n - pos);
      memcpy(xf->token + xf->tokenFill, in + pos, take);
      xf->tokenFill += take;
      pos += take;
    }
    if (xf->tokenFill < kTarBlock || xf->tokenFill < xf->tokenNeed) {
      if (final) {
        LOG(0, "Should have seen encrypted token header but didn't");
        return fail(EBADMSG);
      }
      return 0;
    }
    CDresult res;
    memset(&xf->crypt, 0, sizeof xf->crypt);
    if (CDlibInitCryptWithToken(xf->token, int(xf->tokenNeed), &xf->crypt, &res) != 0) {
      LOG(0, "Failed to initialize with token: %s", res.message);
      return fail(EBADMSG);
    }
    xf->cryptReady = 1;
    h->dataStart = int64_t(xf->tokenNeed);
  }
  // Whole units are decrypted; a partial unit waits for the next input.
  if (ensure(&xf->in, &xf->inSize, xf->inFill + (n - pos)) != 0) return fail(ENOMEM);
  memcpy(xf->in + xf->inFill, in + pos, n - pos);
  xf->inFill += n - pos;
  size_t units = xf->inFill / kUnit * kUnit;
  if (units) {
    if (ensure(&xf->mid, &xf->midSize, xf->midFill + units) != 0) return fail(ENOMEM);
    xf->crypt.nextDataInPtr = xf->in;
    xf->crypt.dataInBytes = int32_t(units);
    xf->crypt.nextDataOutPtr = xf->mid + xf->midFill;
    xf->crypt.dataOutBytes = int32_t(units);
    while (xf->crypt.dataInBytes >= int32_t(kUnit)) {
      int32_t before = xf->crypt.dataInBytes;
      CDresult res;
      if (CDlibCrypt(CD_OP_DECRYPT, &xf->crypt, &res) != 0 || xf->crypt.dataInBytes == before) {
        LOG(0, "Failed to decrypt data: %s", res.message);
        return fail(EBADMSG);
      }
    }
    xf->midFill += units;
    memmove(xf->in, xf->in + units, xf->inFill - units);
    xf->inFill -= units;
  }
  if (final && xf->inFill) {
    LOG(0, "%d bytes remain in decryption buffer", int(xf->inFill));
    return fail(EBADMSG);
  }
  return 0;
}

// Takes all pending LZ4 output into xf->out.
int takeLz4(archiveTransform *xf, size_t *produced) {
  *produced = 0;
  for (;;) {
    size_t pending = VxCompressionPending(xf->lz4);
    if (!pending) return 0;
    if (ensure(&xf->out, &xf->outSize, xf->outFill + pending) != 0) {
      LOG(0, "Failed to grow buffer size");
      return fail(ENOMEM);
    }
    size_t n = VxCompressionTakeOutput(xf->lz4, xf->out + xf->outFill, pending);
    xf->outFill += n;
    *produced += n;
  }
}

// Decompresses input into xf->out (appending).
int decompressInput(archiveFilter *h, const uint8_t *in, size_t n, int final) {
  archiveTransform *xf = &h->xf;
  if (xf->flags & XFORM_DATA_END) return 0;  // what follows the compressed data is the index
  if (ensure(&xf->in, &xf->inSize, xf->inFill + n) != 0) return fail(ENOMEM);
  memcpy(xf->in + xf->inFill, in, n);
  xf->inFill += n;
  size_t pos = 0;
  for (;;) {
    size_t avail = xf->inFill - pos;
    if (xf->type == 0 || (xf->flags & XFORM_MEMBER_END)) {
      if (avail == 0) break;
      if (avail < 4 && !final) break;  // the next unit's magic is not complete yet
      int t = getCompressionType(xf->in + pos, int(avail));
      if (t == 0) {
        if (xf->type == 0) {
          LOG(0, "Unknown compression type.  Aborting decompression.");
          return fail(EBADMSG);
        }
        LOG(4, "Non-deflated data in stream (possibly index)");
        xf->flags |= XFORM_DATA_END;
        break;
      }
      if (xf->type && t != xf->type) LOG(1, "New decompresion type found: %d -> %d", xf->type, t);
      xf->type = t;
      xf->flags &= ~XFORM_MEMBER_END;
    }
    if (xf->type == 2) {
      if (ensure(&xf->out, &xf->outSize, xf->outFill + 65536) != 0) {
        LOG(0, "Failed to grow buffer size");
        return fail(ENOMEM);
      }
      xf->zs.next_in = xf->in + pos;
      xf->zs.avail_in = unsigned(avail);
      xf->zs.next_out = xf->out + xf->outFill;
      xf->zs.avail_out = unsigned(xf->outSize - xf->outFill);
      int r = inflate(&xf->zs, Z_SYNC_FLUSH);
      size_t used = avail - xf->zs.avail_in;
      size_t made = (xf->outSize - xf->outFill) - xf->zs.avail_out;
      pos += used;
      xf->outFill += made;
      if (r == Z_STREAM_END) {
        inflateReset(&xf->zs);
        xf->flags |= XFORM_MEMBER_END;
        continue;
      }
      if (r == Z_DATA_ERROR) {
        LOG(4, "Non-deflated data in stream (possibly index)");
        xf->flags |= XFORM_DATA_END;
        break;
      }
      if (r == Z_OK || r == Z_BUF_ERROR) {
        if (xf->zs.avail_out == 0) continue;  // output full: grow and go on
        if (used == 0 && made == 0) break;    // needs more input
        continue;
      }
      LOG(0, "Error inflating: %s", xf->zs.msg ? xf->zs.msg : zError(r));
      return fail(EBADMSG);
    } else if (xf->type == 3) {
      size_t put = VxCompressionPutInput(xf->lz4, xf->in + pos, avail);
      pos += put;
      if (final && pos == xf->inFill) VxCompressionInputEnd(xf->lz4);
      int rc = VxCompressionBlock(xf->lz4);
      size_t made = 0;
      if (takeLz4(xf, &made) != 0) return -1;
      if (rc == VX_COMP_NOTLZ4) {
        if (h->dataEnd >= 0) {
          // Reads stop where the index begins, so a unit without its magic
          // before that point is damaged data, not the index.
          LOG(0, "Failed to decompress archive data");
          LOG(0, "Error %d: %s", rc, xf->lz4->_errorDetails[0] ? xf->lz4->_errorDetails : "(no message)");
          return fail(EBADMSG);
        }
        LOG(4, "Non-compressed data in stream (possibly index)");
        xf->flags |= XFORM_DATA_END;
        break;
      }
      if (rc < 0) {
        LOG(0, "Failed to decompress archive data");
        LOG(0, "Error %d: %s", rc, xf->lz4->_errorDetails[0] ? xf->lz4->_errorDetails : "(no message)");
        return fail(EBADMSG);
      }
      if (put == 0 && made == 0) break;
    } else {
      LOG(0, "Invalid decompression type: %d", xf->type);
      return fail(EBADMSG);
    }
  }
  memmove(xf->in, xf->in + pos, xf->inFill - pos);
  xf->inFill -= pos;
  return 0;
}

// Runs n device-buffer bytes through the transform. *out/*outLen receive
// the decoded bytes (pointing into the device buffer for plain archives).
// final: the physical end was reached and no more input follows.
int transform(archiveFilter *h, const uint8_t *in, size_t n, int final, const uint8_t **out, size_t *outLen) {
  archiveTransform *xf = &h->xf;
  if (!(xf->flags & (XFORM_DECOMPRESS | XFORM_DECRYPT))) {
    *out = in;
    *outLen = n;
    return 0;
  }
  xf->outFill = 0;
  if (xf->flags & XFORM_DECOMPRESS) {
    // Output held back from the last call goes first.
    if (ensure(&xf->out, &xf->outSize, xf->holdFill + 65536) != 0) return fail(ENOMEM);
    memcpy(xf->out, xf->hold, xf->holdFill);
    xf->outFill = xf->holdFill;
    xf->holdFill = 0;
  }
  if (xf->flags & XFORM_DECRYPT) {
    xf->midFill = 0;
    if (decryptInput(h, in, n, final) != 0) return -1;
    if (!(xf->flags & XFORM_DECOMPRESS)) {
      *out = xf->mid;
      *outLen = xf->midFill;
      return 0;
    }
    in = xf->mid;
    n = xf->midFill;
  }
  if (decompressInput(h, in, n, final) != 0) return -1;
  if (!final && !(xf->flags & XFORM_DATA_END)) {
    xf->holdFill = xf->outFill % kTarBlock;
    xf->outFill -= xf->holdFill;
    memcpy(xf->hold, xf->out + xf->outFill, xf->holdFill);
  }
  *out = xf->out;
  *outLen = xf->outFill;
  return 0;
}

// ---- Delivery -----------------------------------------------------------------

// Hands decoded bytes on: the header skip is dropped, bytes go straight to
// the caller while the user buffer is empty, the rest into the user buffer.
int deliver(archiveFilter *h, const uint8_t *p, size_t len, uint8_t *dst, size_t count, size_t *done) {
  if (h->pendingSkip > 0) {
    size_t k = std::min(len, size_t(h->pendingSkip));
    h->pendingSkip -= int64_t(k);
    p += k;
    len -= k;
  }
  if (len == 0) return 0;
  if (userAvail(h) == 0 && h->keepBackCount == 0 && *done < count) {
    size_t k = std::min(len, count - *done);
    if (dst) memcpy(dst + *done, p, k);
    *done += k;
    h->virtOffset += int64_t(k);
    emptyUser(h);
    p += k;
    len -= k;
    if (len == 0) return 0;
  }
  if (h->uEnd + len > h->uSize) {
    size_t keep = 0;
    if (h->keepBackCount > 0) {
      keep = std::min(h->keepBackSize, h->uPos - h->uStart) / kTarBlock * kTarBlock;
    } else if (*done < count) {
      size_t k = std::min(userAvail(h), count - *done);
      if (dst) memcpy(dst + *done, h->ubuf + h->uPos, k);
      *done += k;
      h->uPos += k;
      h->virtOffset += int64_t(k);
    }
    size_t avail = userAvail(h);
    memmove(h->ubuf, h->ubuf + h->uPos - keep, keep + avail);
    h->uStart = 0;
    h->uPos = keep;
    h->uEnd = keep + avail;
    if (h->uEnd + len > h->uSize) {
      size_t n = roundUp(h->uEnd + len, kUserGrowth);
      void *grown = realloc(h->ubuf, n);
      if (!grown) {
        LOG(0, "Failed to grow buffer size");
        return fail(ENOMEM);
      }
      h->ubuf = static_cast<uint8_t *>(grown);
      h->uSize = n;
    }
  }
  memcpy(h->ubuf + h->uEnd, p, len);
  h->uEnd += len;
  return 0;
}

// ---- Physical reads -------------------------------------------------------------

// Reads once into buf, retrying EINTR; a failing O_DIRECT read is retried
// once without O_DIRECT (the last, partial block of a file).
ssize_t readPiece(archiveFilter *h, uint8_t *buf, size_t n) {
  ssize_t r;
  do r = read(h->fd, buf, n);
  while (r < 0 && errno == EINTR);
  if (r < 0 && (h->properties & ARCH_PROP_ODIRECT)) {
    int fl = fcntl(h->fd, F_GETFL);
    if (fl == -1 || fcntl(h->fd, F_SETFL, fl & ~O_DIRECT) == -1) {
      LOG(0, "ERROR: O_DIRECT failed to be removed for last read.");
      return -1;
    }
    do r = read(h->fd, buf, n);
    while (r < 0 && errno == EINTR);
    int saved = errno;
    if (fcntl(h->fd, F_SETFL, fl) == -1) LOG(0, "ERROR: failed to reset O_DIRECT.");
    errno = saved;
  }
  return r;
}

// Reads from the file into the device buffer (appending to unread data).
// `missing` is what the caller still lacks. 0 / -1.
int fillDevice(archiveFilter *h, size_t missing) {
  bool direct = h->properties & ARCH_PROP_ODIRECT;
  if (deviceAvail(h) == 0) emptyDevice(h);
  if (h->dFill == h->dSize && h->dPos > 0) {
    size_t avail = deviceAvail(h);
    memmove(h->dbuf, h->dbuf + h->dPos, avail);
    h->dPos = 0;
    h->dFill = avail;
  }
  size_t room = h->dSize - h->dFill;
  size_t len = room;
  if (h->readCount <= h->lowWater) {
    size_t want = std::max(kMinRead, roundUp(missing, kTarBlock));
    if (direct) want = roundUp(want, h->directBlock);
    len = std::min(len, want);
  }
  size_t lead = 0;
  if (direct && h->dFill == 0 && h->phyOffset % int64_t(h->directBlock)) {
    lead = size_t(h->phyOffset % int64_t(h->directBlock));
    if (lseek(h->fd, h->phyOffset - int64_t(lead), SEEK_SET) == -1) {
      LOG(0, "Failed to seek back %ld, a %zu boundary for O_DIRECT.", long(lead), h->directBlock);
      return -1;
    }
    h->phyOffset -= int64_t(lead);
    len = std::min(room, roundUp(len + lead, h->directBlock));
  }
  if (h->ioBlockSize) {
    size_t blocks = roundUp(len, h->ioBlockSize);
    len = blocks <= room ? blocks : std::max(room / h->ioBlockSize * h->ioBlockSize, std::min(room, h->ioBlockSize));
  }
  size_t got = 0;
  uint8_t *at = h->dbuf + h->dFill;
  while (got < len) {
    size_t ask = h->ioBlockSize ? std::min(h->ioBlockSize, len - got) : len - got;
    ssize_t r = readPiece(h, at + got, ask);
    if (r < 0) {
      int saved = errno;
      LOG(0, "Failed reading after %lld physical bytes, devbuf=%p, blocksize=%zu: %s",
          (long long)(h->phyOffset + int64_t(got)), static_cast<void *>(h->dbuf), h->directBlock, strerror(saved));
      LOG(0, "Failed reading after %lld bytes: %s", (long long)h->virtOffset, strerror(saved));
      errno = saved;
      return -1;
    }
    if (r == 0) {
      h->status |= ARCH_PHYSICAL_EOF;
      LOG(4, "Short read at EOF after %lld physical bytes", (long long)(h->phyOffset + int64_t(got)));
      break;
    }
    got += size_t(r);
    if (h->ioBlockSize && got + h->ioBlockSize > len) break;
  }
  h->phyOffset += int64_t(got);
  bool fresh = h->dFill == 0;
  h->dFill += got;
  if (fresh) {
    size_t drop = std::min(lead + h->discardNext, h->dFill);
    if (h->discardNext) LOG(4, "Discarded %zu bytes from last read", std::min(h->discardNext, h->dFill));
    h->discardNext -= std::min(h->discardNext, h->dFill - std::min(lead, h->dFill));
    h->dPos = drop;
  }
  return 0;
}

// Whether a read of `want` more bytes may go from the file straight into
// the caller's buffer: a plain archive past its start (no decoding, no
// header to skip, nothing held back or buffered), read without O_DIRECT
// or device block sizes, and a piece large enough to be worth a system
// call of its own.
bool directReadApplies(const archiveFilter *h, const uint8_t *dst, size_t want) {
  return dst && want >= kDirectReadMin && (h->status & ARCH_CONTEXT_INIT) &&
         !(h->xf.flags & (XFORM_DECOMPRESS | XFORM_DECRYPT)) && h->dataEnd < 0 &&
         !(h->properties & ARCH_PROP_ODIRECT) && h->ioBlockSize == 0 && h->pendingSkip == 0 &&
         h->discardNext == 0 && h->keepBackCount == 0 && userAvail(h) == 0 && deviceAvail(h) == 0;
}

// ---- Context initialisation ----------------------------------------------------------

// 0 initialised, 1 more data needed, -1 failure.
int contextInit(archiveFilter *h) {
  archiveTransform *xf = &h->xf;
  if (!(xf->flags & XFORM_PREPARED)) {
    if (h->properties & ARCH_PROP_COMPRESSED) {
      if (deviceAvail(h) < 4 && !(h->status & ARCH_PHYSICAL_EOF)) {
        LOG(4, "Not enough data is available to initialize context");
        return 1;
      }
      int t = deviceAvail(h) >= 4 ? getCompressionType(h->dbuf + h->dPos, 4) : 0;
      if (t) {
        xf->flags |= XFORM_DECOMPRESS;
        LOG(3, "File is compressed");
        // The compressed units end where the index blocks begin; reads stop
        // there so the index is never handed to the decoder. Encrypted
        // archives keep the decoder's own end detection (their file
        // offsets are those of the cipher text).
        if (!(h->properties & ARCH_PROP_ENCRYPTED)) h->dataEnd = CompressedDataEnd(h->fd);
      } else {
        h->properties &= ~ARCH_PROP_COMPRESSED;
        LOG(3, "File is not compressed");
      }
    }
    if (h->properties & ARCH_PROP_ENCRYPTED) xf->flags |= XFORM_DECRYPT;
    if (prepareTransform(h) != 0) return -1;
    if (xf->flags & XFORM_DECRYPT) LOG(3, "Reading encrypted header and token from archive");
  }
  if (xf->flags & XFORM_DECRYPT) {
    // The decrypted data starts with a tar entry that precedes the archive
    // proper; collect its header, then skip it.
    std::vector<uint8_t> first;
    while (first.size() < kTarBlock) {
      if (deviceAvail(h) == 0) {
        if (h->status & ARCH_PHYSICAL_EOF) break;
        if (first.empty()) return 1;
        if (fillDevice(h, kTarBlock) != 0) return -1;
        continue;
      }
      size_t n = std::min(deviceAvail(h), h->directBlock);
      int final = (h->status & ARCH_PHYSICAL_EOF) && n == deviceAvail(h);
      const uint8_t *out;
      size_t outLen;
      if (transform(h, h->dbuf + h->dPos, n, final, &out, &outLen) != 0) return -1;
      h->dPos += n;
      first.insert(first.end(), out, out + outLen);
    }
    if (first.size() < kTarBlock || !is_tar(reinterpret_cast<const char *>(first.data()))) {
      LOG(0, "Bad tar header");
      LOG(0, "Bad encrypted header");
      return fail(EBADMSG);
    }
    LOG(3, "Decryption successfully initialized");
    uint64_t size = 0;
    if (first[0] == 0) {
      h->headerSkip = int64_t(kTarBlock);
    } else {
      if (parseTarSize(reinterpret_cast<const char *>(first.data()) + 124, &size) != 0) {
        LOG(0, "Bad tar header");
        LOG(0, "Bad encrypted header");
        return fail(EBADMSG);
      }
      h->headerSkip = int64_t((roundUp(size, kTarBlock) / kTarBlock + 1) * kTarBlock);
    }
    LOG(3, "Adjusted reads to offset + %d bytes", int(h->headerSkip));
    if (int64_t(first.size()) > h->headerSkip) {
      size_t moved = first.size() - size_t(h->headerSkip);
      size_t done = 0;
      if (deliver(h, first.data() + h->headerSkip, moved, nullptr, 0, &done) != 0) return -1;
      LOG(4, "Moved %zu bytes to user buffer during context init", moved);
    } else {
      h->pendingSkip = h->headerSkip - int64_t(first.size());
    }
  }
  h->status |= ARCH_CONTEXT_INIT;
  LOG(4, "Successfully initialized archive I/O filter");
  return 0;
}

// Device-buffer bytes to transform next.
size_t chooseLength(archiveFilter *h, size_t wanted) {
  archiveTransform *xf = &h->xf;
  size_t n = 0;
  const compressionIndex *idx = h->positioner;
  if (idx && (xf->flags & XFORM_DECOMPRESS) && idx->segmentSize > 0) {
    int64_t next = h->virtOffset + int64_t(userAvail(h)) + int64_t(xf->holdFill) + h->headerSkip;
    int64_t chunk = next / idx->segmentSize;
    int64_t p = h->phyOffset - int64_t(deviceAvail(h));
    LOG(4, "calculate transform from compression index: next_virt_offset %lld, chunk_num %lld ", (long long)next,
        (long long)chunk);
    if (chunk < int64_t(idx->count) &&
        (idx->entries[chunk] <= p && (chunk + 1 >= int64_t(idx->count) || p < idx->entries[chunk + 1]))) {
      int64_t goal = std::max<int64_t>(idx->segmentSize, int64_t(h->decompressedChunk));
      int64_t j = chunk + 1;
      for (; j < int64_t(idx->count); j++) {
        n = size_t(idx->entries[j] - p);
        if (n >= deviceAvail(h) || (j - chunk) * idx->segmentSize > goal) break;
      }
      if (j >= int64_t(idx->count)) n = deviceAvail(h);
    } else if (chunk + 1 < int64_t(idx->count)) {
      LOG(4,
          "WARNING: calculate chunk wrong to transform data.  entries[%lld]=%lld, entries[%lld]=%lld, "
          "relative_phy_offset %lld",
          (long long)chunk, (long long)idx->entries[chunk], (long long)(chunk + 1),
          (long long)idx->entries[chunk + 1], (long long)p);
    }
  }
  if (n == 0) {
    if (xf->flags & XFORM_DECRYPT)
      n = h->decryptChunk;
    else if (xf->flags & XFORM_DECOMPRESS)
      n = h->decompressChunk;
    else
      n = std::max(wanted, kMinRead);
  }
  return std::min(n, deviceAvail(h));
}

// Reads and discards until the virtual offset reaches target (or the end).
int64_t readForward(archiveFilter *h, int64_t target) {
  int64_t rem = target - h->virtOffset;
  if (rem < 0) {
    LOG(0, "Failed to seek: Internal error: negative read offset (%lld)", (long long)rem);
    return fail(EBADMSG);
  }
  if (rem > 0) LOG(4, "Reading %lld bytes in archive to requested seek offset", (long long)rem);
  while (rem > 0) {
    ssize_t n = archive_read(h, nullptr, size_t(std::min<int64_t>(rem, 1 << 30)));
    if (n < 0) return -1;
    if (n == 0) break;
    rem -= n;
  }
  return h->virtOffset;
}

// Moves the file (or the device-buffer pointer) to physical offset p and
// empties what no longer applies. 0 / -1.
int positionPhysical(archiveFilter *h, int64_t p, int64_t virt) {
  int64_t bufStart = h->phyOffset - int64_t(h->dFill);
  int64_t from = h->phyOffset - int64_t(deviceAvail(h));
  if (p >= bufStart && p < h->phyOffset) {
    h->dPos = size_t(p - bufStart);
  } else {
    if (p - from > int64_t(h->dSize) || from - p > int64_t(h->dSize)) h->readCount = 0;
    if (lseek(h->fd, p, SEEK_SET) == -1) {
      int saved = errno;
      LOG(0, "Failed seeking to physical offset %lld: %s", (long long)p, strerror(saved));
      return fail(saved);
    }
    LOG(4, "lseek to physical offset %lld, virtual %lld", (long long)p, (long long)virt);
    h->phyOffset = p;
    emptyDevice(h);
    h->status &= ~ARCH_PHYSICAL_EOF;
  }
  h->status &= ~ARCH_LOGICAL_EOF;
  emptyUser(h);
  h->xf.inFill = 0;
  h->pendingSkip = 0;
  h->virtOffset = virt;
  return 0;
}

// Seek in a compressed archive: jump to the segment through the index when
// the distance is long, then read forward.
int64_t compressedSeek(archiveFilter *h, int64_t target) {
  if (!h->positioner && !h->indexFailed) {
    char why[256] = "";
    compressionIndex *idx = LoadCompressionIndex(h->fd, why, sizeof why);
    if (lseek(h->fd, h->phyOffset, SEEK_SET) == -1) {
      int saved = errno;
      LOG(0, "Failed to return to physical offset %lld: %s", (long long)h->phyOffset, strerror(saved));
      if (idx) FreeCompressionIndex(idx);
      return fail(saved);
    }
    if (!idx) {
      // Without an index the archive is still readable from its start.
      LOG(0, "Failed to load index: %s", why);
      h->indexFailed = 1;
    } else {
      h->positioner = idx;
      h->freePositioner = FreeCompressionIndex;
    }
  }
  const compressionIndex *idx = h->positioner;
  int64_t restartVirt = 0, restartPhy = 0;
  if (idx && idx->segmentSize > 0) {
    int64_t chunk = (h->headerSkip + target) / idx->segmentSize;
    if (chunk >= int64_t(idx->count)) {
      SeekToCompressedOffset(h->fd, idx, (long long)(idx->count - 1) * idx->segmentSize);
      emptyDevice(h);
      emptyUser(h);
      h->phyOffset = lseek(h->fd, 0, SEEK_CUR);
      h->status |= ARCH_PHYSICAL_EOF;
      h->xf.flags |= XFORM_DATA_END;
      h->xf.inFill = 0;
      h->xf.holdFill = 0;
      h->virtOffset = target;
      LOG(4, "Seek to EOF, SET ARCH_PHYSICAL_EOF: offset %lld.", (long long)target);
      return target;
    }
    int64_t current = (h->headerSkip + h->virtOffset) / idx->segmentSize;
    if (target > h->virtOffset && (chunk == current || target - h->virtOffset <= kReadForwardMax))
      return readForward(h, target);
    restartVirt = chunk * idx->segmentSize - h->headerSkip;
    restartPhy = idx->entries[chunk];
  } else if (target > h->virtOffset) {
    return readForward(h, target);
  }
  if (positionPhysical(h, restartPhy, restartVirt) != 0) return -1;
  if (resetDecompression(h) != 0) return -1;
  LOG(4, "Fast seek to physical offset %lld, virtual %lld", (long long)restartPhy, (long long)restartVirt);
  return readForward(h, target);
}

// Seeks to target (>= 0, a real move).
int64_t seekTo(archiveFilter *h, int64_t target) {
  if (target < 0) {
    LOG(0, "Failed seeking: cannot seek before start of file (offset %lld)", (long long)target);
    return fail(EINVAL);
  }
  if (target == h->virtOffset) return target;
  if (!(h->status & ARCH_CONTEXT_INIT)) {
    if (archive_read(h, nullptr, size_t(std::min<int64_t>(target - h->virtOffset, 512))) < 0) return -1;
    if (!(h->status & ARCH_CONTEXT_INIT)) {
      LOG(0, "Partial seek: more data needed to initialize context");
      return 0;
    }
    if (target == h->virtOffset) return target;
  }
  int64_t distance = target - h->virtOffset;
  if (distance < 0 && -distance <= kKeepBackMax) {
    h->keepBackCount = 10;
    if (-distance > int64_t(kMinRead)) h->keepBackSize = roundUp(size_t(-distance), kTarBlock);
  }
  if (target >= h->virtOffset - int64_t(h->uPos - h->uStart) && target <= h->virtOffset + int64_t(userAvail(h))) {
    h->uPos = size_t(int64_t(h->uPos) + distance);
    h->virtOffset = target;
    h->status &= ~ARCH_LOGICAL_EOF;
    return target;
  }
  if (h->status & ARCH_STREAM_MODE) {
    if (distance < 0) {
      LOG(0, "Cannot seek backward in archive on non-seeking device");
      return fail(ESPIPE);
    }
    return readForward(h, target);
  }
  if (h->xf.flags & XFORM_DECOMPRESS) return compressedSeek(h, target);
  int64_t aligned = target;
  if (h->xf.flags & XFORM_DECRYPT) {
    aligned = target & ~int64_t(kUnit - 1);
    if (aligned <= h->virtOffset && h->virtOffset < target) {
      LOG(4, "Seeking within encrypted block");
      return readForward(h, target);
    }
  }
  if (positionPhysical(h, h->dataStart + h->headerSkip + aligned, aligned) != 0) return -1;
  return readForward(h, target);
}

void readConfiguration(archiveFilter *h) {
  h->lowWater = uint64_t(iniGetInt(kSection, "readAheadLowWaterMark_archiverw", 3, g_master_ini));
  h->decryptChunk = roundUp(size_t(std::max(1L, iniGetInt(kSection, "decryptBlockSize_archiverw", 131072, g_master_ini))), kUnit);
  h->decompressChunk = size_t(std::max(512L, iniGetInt(kSection, "decompressBlockSize_archiverw", 65536, g_master_ini)));
  h->decompressedChunk =
      size_t(std::max(512L, iniGetInt(kSection, "decompressedBlockSize_archiverw", 262144, g_master_ini)));
  h->dSize = size_t(std::max(4096L, iniGetInt(kSection, "devbufsize_archiverw", 1048576, g_master_ini)));
  h->uSize = size_t(std::max(4096L, iniGetInt(kSection, "userbufsize_archiverw", 524288, g_master_ini)));
}

// Writes what the device buffer holds. 0 / -1.
int flushDevice(archiveFilter *h) {
  size_t off = 0;
  while (off < h->dFill) {
    ssize_t w = write(h->fd, h->dbuf + off, h->dFill - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      int saved = errno ? errno : EIO;
      LOG(0, "Failed writing after %lld bytes: %s", (long long)h->written, strerror(saved));
      h->recoverable = saved == ENOSPC || saved == EINTR || saved == EAGAIN;
      h->recoverableError = h->recoverable;
      memmove(h->dbuf, h->dbuf + off, h->dFill - off);
      h->dFill -= off;
      return fail(saved);
    }
    off += size_t(w);
    h->written += w;
  }
  h->dFill = 0;
  return 0;
}

// Appends writer output to the device buffer, writing it out when full.
int emit(archiveFilter *h, const uint8_t *p, size_t n) {
  while (n > 0) {
    size_t k = std::min(n, h->dSize - h->dFill);
    memcpy(h->dbuf + h->dFill, p, k);
    h->dFill += k;
    p += k;
    n -= k;
    if (h->dFill == h->dSize && flushDevice(h) != 0) return -1;
  }
  return 0;
}

// Writer set-up: compression and/or encryption, the token first.
int writeContextInit(archiveFilter *h) {
  archiveTransform *xf = &h->xf;
  if (h->properties & ARCH_PROP_COMPRESSED) xf->flags |= XFORM_COMPRESS;
  if (h->properties & ARCH_PROP_ENCRYPTED) xf->flags |= XFORM_ENCRYPT;
  if (prepareTransform(h) != 0) return -1;
  if (xf->flags & XFORM_ENCRYPT) {
    CDresult res;
    memset(&xf->crypt, 0, sizeof xf->crypt);
    if (CDlibInitCryptWithArchiveKey(&xf->crypt, &res) != 0) {
      LOG(0, "Failed to encrypt data");
      LOG(0, "Error: %s", res.message);
      return fail(EIO);
    }
    std::vector<uint8_t> token(ARCH_MAX_TOKEN);
    int size = int(token.size());
    if (CDlibGetToken(token.data(), &size, &xf->crypt, &res) != 0) {
      LOG(0, "Failed to encrypt data");
      LOG(0, "Error: %s", res.message);
      return fail(EIO);
    }
    LOG(3, "Requesting encrypted token, size %d", size);
    if (emit(h, token.data(), size_t(size)) != 0) return -1;
    xf->cryptReady = 1;
  }
  h->status |= ARCH_CONTEXT_INIT;
  return 0;
}

// Encrypts whole units of xf->in (all of it, zero-padded, when flushing)
// and emits them.
int encryptAndEmit(archiveFilter *h, const uint8_t *p, size_t n, int flush) {
  archiveTransform *xf = &h->xf;
  if (ensure(&xf->in, &xf->inSize, xf->inFill + n + kUnit) != 0) return fail(ENOMEM);
  if (n) memcpy(xf->in + xf->inFill, p, n);
  xf->inFill += n;
  // Small writes are gathered so that each exchange with the daemon
  // carries a useful amount of data.
  if (!flush && xf->inFill < kCDMaxCryptData) return 0;
  if (flush && xf->inFill % kUnit) {
    size_t pad = kUnit - xf->inFill % kUnit;
    memset(xf->in + xf->inFill, 0, pad);
    xf->inFill += pad;
  }
  size_t units = xf->inFill / kUnit * kUnit;
  if (!units) return 0;
  if (ensure(&xf->mid, &xf->midSize, units) != 0) return fail(ENOMEM);
  xf->crypt.nextDataInPtr = xf->in;
  xf->crypt.dataInBytes = int32_t(units);
  xf->crypt.nextDataOutPtr = xf->mid;
  xf->crypt.dataOutBytes = int32_t(units);
  while (xf->crypt.dataInBytes >= int32_t(kUnit)) {
    int32_t before = xf->crypt.dataInBytes;
    CDresult res;
    if (CDlibCrypt(CD_OP_ENCRYPT, &xf->crypt, &res) != 0 || xf->crypt.dataInBytes == before) {
      LOG(0, "Failed to encrypt data");
      return fail(EIO);
    }
  }
  memmove(xf->in, xf->in + units, xf->inFill - units);
  xf->inFill -= units;
  return emit(h, xf->mid, units);
}

// Sends writer output on: encrypted when asked, else straight out.
int writerOutput(archiveFilter *h, const uint8_t *p, size_t n, int flush) {
  if (h->xf.flags & XFORM_ENCRYPT) return encryptAndEmit(h, p, n, flush);
  return emit(h, p, n);
}

// Takes what the compress stream has produced on to the output.
int drainCompressor(archiveFilter *h) {
  archiveTransform *xf = &h->xf;
  size_t pending;
  while ((pending = VxCompressionPending(xf->comp)) > 0) {
    if (ensure(&xf->out, &xf->outSize, pending) != 0) return fail(ENOMEM);
    size_t n = VxCompressionTakeOutput(xf->comp, xf->out, pending);
    if (writerOutput(h, xf->out, n, 0) != 0) return -1;
  }
  return 0;
}

// Runs writer input through compression. flush: close the stream so that
// its index is appended.
int writeTransform(archiveFilter *h, const uint8_t *p, size_t n, int flush) {
  archiveTransform *xf = &h->xf;
  if (!(xf->flags & XFORM_COMPRESS)) return writerOutput(h, p, n, flush);
  while (n > 0) {
    size_t put = VxCompressionPutInput(xf->comp, p, n);
    p += put;
    n -= put;
    int rc = VxCompressionBlock(xf->comp);
    if (rc < 0) {
      LOG(0, "Error %d: %s", rc, xf->comp->_errorDetails);
      return fail(EIO);
    }
    if (drainCompressor(h) != 0) return -1;
  }
  if (!flush) return 0;
  LOG(4, "Flushing compression index");
  VxCompressionInputEnd(xf->comp);
  int rc;
  while ((rc = VxCompressionClose(xf->comp)) == VX_COMP_PENDING)
    if (drainCompressor(h) != 0) return -1;
  if (rc != 0) {
    LOG(0, "Error %d: %s", rc, xf->comp->_errorDetails);
    return fail(EIO);
  }
  if (drainCompressor(h) != 0) return -1;
  FreeVxCompressionState(xf->comp);
  xf->comp = nullptr;
  return writerOutput(h, nullptr, 0, 1);
}

void freeHandle(archiveFilter *h) {
  releaseTransform(&h->xf);
  if (h->positioner && h->freePositioner) h->freePositioner(h->positioner);
  free(h->dbuf);
  free(h->ubuf);
  delete h;
}

}  // namespace

int parseTarSize(const char *field, uint64_t *size) {
  uint64_t v = 0;
  if (field[0] == '#') {
    int shift = 0;
    for (int i = 1; i < 12 && i <= 11; i++) {
      const char *at = field[i] ? strchr(kTarDigits, field[i]) : nullptr;
      if (!at) break;
      v |= uint64_t(at - kTarDigits) << shift;
      shift += 6;
    }
    *size = v;
    return 0;
  }
  int i = 0;
  while (i < 12 && field[i] == ' ') i++;
  int digits = 0;
  for (; i < 12 && field[i] >= '0' && field[i] <= '7'; i++, digits++) v = v * 8 + uint64_t(field[i] - '0');
  if (digits == 0) return -1;
  if (i < 12 && field[i] != '\0' && field[i] != ' ') return -1;
  *size = v;
  return 0;
}

void formatTarSize(uint64_t size, char *field) {
  memset(field, 0, 12);
  field[0] = '#';
  int i = 1;
  do {
    field[i++] = kTarDigits[size & 63];
    size >>= 6;
  } while (size && i < 12);
}

archiveFilter *archive_open(const char *path, const char *mode, uint64_t properties) {
  if (!path || !mode || (mode[0] != 'r' && mode[0] != 'w')) {
    LOG(0, "Invalid mode '%s' passed to archive_open for %s", mode ? mode : "(null)", path ? path : "(null)");
    errno = EINVAL;
    return nullptr;
  }
  if (properties & ARCH_PROP_DEDUPLICATED) {
    LOG(2, "##### The deduplicated flag has been set, this backup is deduplicated.");
    return redupOpen(path, mode, properties);
  }
  struct stat st;
  bool chr = stat(path, &st) == 0 && S_ISCHR(st.st_mode);
  int fd;
  unsigned status = 0;
  if (mode[0] == 'r') {
    if (chr) {
      LOG(2, "Opening character device %s", path);
      properties &= ~ARCH_PROP_ODIRECT;
    }
    fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      int saved = errno;
      LOG(3, "Failed to open %s for reading: %s", path, strerror(saved));
      errno = saved;
      return nullptr;
    }
  } else {
    int flags = chr ? O_WRONLY | O_CLOEXEC : O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    fd = open(path, flags, 0660);
    if (fd < 0) {
      int saved = errno;
      LOG(0, "Failed to open %s, flags 0x%x for writing: %s", path, unsigned(flags), strerror(saved));
      errno = saved;
      return nullptr;
    }
    if (chr) {
      status |= ARCH_STREAM_MODE;
      LOG(3, "Set filter stream mode");
    }
    properties &= ~ARCH_PROP_ODIRECT;
  }
  if (properties & ARCH_PROP_ODIRECT) {
    int fl = fcntl(fd, F_GETFL);
    if (fl == -1 || fcntl(fd, F_SETFL, fl | O_DIRECT) == -1) {
      LOG(3, "NOTICE: failed to set O_DIRECT, read without O_DIRECT: %s.", strerror(errno));
      properties &= ~ARCH_PROP_ODIRECT;
    }
  }
  archiveFilter *h = new (std::nothrow) archiveFilter();
  if (!h) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  h->fd = fd;
  h->mode = mode[0];
  h->properties = properties;
  h->status = status;
  h->keepBackSize = kMinRead;
  h->dataEnd = -1;
  readConfiguration(h);
  struct stat fst;
  if (fstat(fd, &fst) == 0 && fst.st_blksize > 0) {
    h->directBlock = size_t(fst.st_blksize);
  } else {
    h->directBlock = 4096;
    LOG(0, "WARNING:  failed to get file system block size, set to %zu.", h->directBlock);
  }
  h->dSize = roundUp(h->dSize, h->directBlock);
  void *d = nullptr;
  if (posix_memalign(&d, size_t(sysconf(_SC_PAGESIZE)), h->dSize) != 0) d = nullptr;
  h->dbuf = static_cast<uint8_t *>(d);
  h->ubuf = static_cast<uint8_t *>(malloc(h->uSize));
  if (!h->dbuf || !h->ubuf) {
    LOG(0, "Out of memory for archive buffers");
    freeHandle(h);
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  LOG(4, "Successfully allocated archive I/O filter");
  return h;
}

ssize_t archive_read(archiveFilter *h, void *buffer, size_t count) {
  if (!h) return fail(EINVAL);
  if (h->mode != 'r') {
    LOG(0, "File open only for writing, can't read");
    return fail(EINVAL);
  }
  if (count == 0) return 0;
  if (h->redup) {
    if (h->cheatSeek0) {
      h->cheatSeek0 = 0;
      if (CTARseek(h, 0, SEEK_SET) < 0) return -1;
    }
    return redupRead(h, buffer, count);
  }
  if (h->cheatSeek0) {
    h->cheatSeek0 = 0;
    LOG(4, "read after seek to 0, do the seek now %lld bytes.", (long long)h->virtOffset);
    if (h->virtOffset != 0 && seekTo(h, 0) < 0) return -1;
  }
  if (buffer && h->readCount < UINT64_MAX) h->readCount++;
  uint8_t *dst = static_cast<uint8_t *>(buffer);
  size_t done = 0;
  while (done + userAvail(h) < count && !(h->status & ARCH_LOGICAL_EOF)) {
    if (deviceAvail(h) == 0 && (h->status & ARCH_PHYSICAL_EOF)) {
      if (h->status & ARCH_CONTEXT_INIT) {
        // The transform gives up what it still holds.
        const uint8_t *out;
        size_t outLen;
        if (transform(h, h->dbuf, 0, 1, &out, &outLen) != 0) return -1;
        if (deliver(h, out, outLen, dst, count, &done) != 0) return -1;
      }
      LOG(5, "EOF of next logical read indicated by prior physical EOF");
      h->status |= ARCH_LOGICAL_EOF;
      break;
    }
    if (deviceAvail(h) == 0 && directReadApplies(h, dst, count - done)) {
      // Nothing to decode and nothing buffered: the file's bytes go
      // straight into the caller's buffer, sparing a copy through the
      // device buffer.
      ssize_t r = readPiece(h, dst + done, count - done);
      if (r < 0) {
        int saved = errno;
        LOG(0, "Failed reading after %lld bytes: %s", (long long)h->virtOffset, strerror(saved));
        errno = saved;
        return -1;
      }
      if (r == 0) {
        h->status |= ARCH_PHYSICAL_EOF;
        continue;
      }
      h->phyOffset += int64_t(r);
      h->virtOffset += int64_t(r);
      done += size_t(r);
      continue;
    }
    if (deviceAvail(h) == 0) {
      if (fillDevice(h, count - done - userAvail(h)) != 0) return -1;
      continue;
    }
    if (!(h->status & ARCH_CONTEXT_INIT)) {
      int r = contextInit(h);
      if (r < 0) return -1;
      if (r == 1 && fillDevice(h, kTarBlock) != 0) return -1;
      continue;
    }
    size_t n = chooseLength(h, count - done - userAvail(h));
    int final = (h->status & ARCH_PHYSICAL_EOF) && n == deviceAvail(h);
    int atDataEnd = 0;
    if (h->dataEnd >= 0 && (h->xf.flags & XFORM_DECOMPRESS)) {
      // File offset of the next device byte; the index begins at dataEnd.
      int64_t at = h->phyOffset - int64_t(deviceAvail(h));
      int64_t left = h->dataEnd - at;
      if (left <= int64_t(n)) {
        n = left > 0 ? size_t(left) : 0;
        final = atDataEnd = 1;
      }
    }
    const uint8_t *out;
    size_t outLen;
    if (transform(h, h->dbuf + h->dPos, n, final, &out, &outLen) != 0) return -1;
    h->dPos += n;
    if (atDataEnd) h->xf.flags |= XFORM_DATA_END;
    if (deliver(h, out, outLen, dst, count, &done) != 0) return -1;
    if (h->xf.flags & XFORM_DATA_END) h->status |= ARCH_LOGICAL_EOF;
  }
  size_t k = std::min(userAvail(h), count - done);
  if (k && dst) memcpy(dst + done, h->ubuf + h->uPos, k);
  h->uPos += k;
  h->virtOffset += int64_t(k);
  done += k;
  if (h->keepBackCount > 0) h->keepBackCount--;
  if (done == 0) {
    h->status &= ~(ARCH_LOGICAL_EOF | ARCH_PHYSICAL_EOF);
    LOG(4, "Returning EOF indicator at virtual offset %lld", (long long)h->virtOffset);
    return 0;
  }
  if (done < count || (h->xf.flags & XFORM_DATA_END)) {
    h->status |= ARCH_LOGICAL_EOF;
    LOG(5, "EOF at virtual offset %lld (%lld physical) indicated by transform state", (long long)h->virtOffset,
        (long long)h->phyOffset);
  }
  return ssize_t(done);
}

int64_t archive_seek(archiveFilter *h, int64_t offset, int whence) {
  if (!h) return fail(EINVAL);
  if (h->mode == 'w') {
    LOG(0, "Can't seek in archive write mode");
    return fail(EINVAL);
  }
  if (whence == SEEK_END) {
    LOG(0, "archive_seek(,%lld,SEEK_END) is unsupported", (long long)offset);
    return fail(EINVAL);
  }
  if (whence != SEEK_SET && whence != SEEK_CUR) return fail(EINVAL);
  int64_t current = h->redup ? CTARseek(h, 0, SEEK_CUR) : h->virtOffset;
  int64_t target;
  if (whence == SEEK_CUR) {
    if (offset == 0) return h->cheatSeek0 ? 0 : current;
    target = (h->cheatSeek0 ? 0 : current) + offset;
    if (target == 0) {
      h->cheatSeek0 = 1;
      LOG(4, "seek to 0, do the seek on next read.");
      return 0;
    }
  } else {
    target = offset;
    if (target == current) {
      h->cheatSeek0 = 0;
      return current;
    }
    if (target == 0) {
      h->cheatSeek0 = 1;
      LOG(4, "archive_seek, do the seek 0 on next read.");
      return 0;
    }
  }
  h->cheatSeek0 = 0;
  if (target == current) {
    LOG(0, "archive_seek() INTERNAL ERROR: skip_bytes==0, offset=%lld.", (long long)offset);
    return current;
  }
  if (target < 0) {
    LOG(0, "Failed seeking: cannot seek before start of file (offset %lld)", (long long)target);
    return fail(EINVAL);
  }
  if (h->redup) return CTARseek(h, target, SEEK_SET);
  return seekTo(h, target);
}

int archive_close(archiveFilter *h) {
  if (!h) return fail(EINVAL);
  if (h->redup) {
    int rc = redupClose(h);
    delete h;
    return rc;
  }
  int rc = 0, err = 0;
  if (h->mode == 'w') {
    int wrc = 0;
    if (!(h->status & ARCH_CONTEXT_INIT)) wrc = writeContextInit(h);
    if (wrc == 0 && !(h->xf.flags & XFORM_DATA_END)) {
      wrc = writeTransform(h, nullptr, 0, 1);
      if (wrc == 0) h->xf.flags |= XFORM_DATA_END;  // flushed: never again
    }
    if (wrc == 0 && h->padding && h->ioBlockSize && h->dFill % h->ioBlockSize) {
      size_t pad = h->ioBlockSize - h->dFill % h->ioBlockSize;
      std::vector<uint8_t> zeros(pad);
      wrc = emit(h, zeros.data(), pad);
    }
    if (wrc == 0) wrc = flushDevice(h);
    if (wrc == 0) {
      LOG(4, "Finished writing archive data, %lld actual bytes, %lld virtual bytes", (long long)h->written,
          (long long)h->virtOffset);
    } else {
      err = errno;
      if (h->continueOnError && h->recoverable) {
        LOG(0, "Error is recoverable");
        errno = err;
        return -1;
      }
      LOG(0, "Clearing filter as continue_on_error was set to NOT continue");
      rc = -1;
    }
  }
  if (close(h->fd) != 0) {
    err = errno;
    LOG(0, "Failed closing: %s", strerror(err));
    rc = -1;
  }
  freeHandle(h);
  if (rc) errno = err;
  return rc;
}

ssize_t archive_write(archiveFilter *h, const void *buffer, size_t count) {
  if (!h) return fail(EINVAL);
  if (h->redup) {
    LOG(0, "Can't write deduplicated file");
    return fail(EINVAL);
  }
  if (h->mode != 'w') {
    LOG(0, "File open only for reading, can't write");
    return fail(EINVAL);
  }
  if (count == 0) return 0;
  if (!(h->status & ARCH_CONTEXT_INIT) && writeContextInit(h) != 0) return -1;
  if (writeTransform(h, static_cast<const uint8_t *>(buffer), count, 0) != 0) return -1;
  h->virtOffset += int64_t(count);
  return ssize_t(count);
}

int archive_fcntl(archiveFilter *h, int request, int64_t value) {
  if (!h) return fail(EINVAL);
  if (h->redup) return redupFcntl(h, request, value);
  switch (request) {
    case ARCHIVE_FCNTL_IOBLOCKSIZE:
      if (value < 0) return fail(EINVAL);
      h->ioBlockSize = size_t(value);
      if (h->ioBlockSize && h->dSize % h->ioBlockSize) {
        size_t n = roundUp(h->dSize, h->ioBlockSize);
        void *d = nullptr;
        if (posix_memalign(&d, size_t(sysconf(_SC_PAGESIZE)), n) != 0) return fail(ENOMEM);
        memcpy(d, h->dbuf, h->dFill);
        free(h->dbuf);
        h->dbuf = static_cast<uint8_t *>(d);
        h->dSize = n;
      }
      return 0;
    case ARCHIVE_FCNTL_STREAM:
      if (value)
        h->status |= ARCH_STREAM_MODE;
      else
        h->status &= ~ARCH_STREAM_MODE;
      return 0;
    case ARCHIVE_FCNTL_PADDING:
      h->padding = value != 0;
      return 0;
    case ARCHIVE_FCNTL_CLOEXEC: {
      int fl = fcntl(h->fd, F_GETFD);
      if (fl == -1 || fcntl(h->fd, F_SETFD, value ? fl | FD_CLOEXEC : fl & ~FD_CLOEXEC) == -1) return -1;
      return 0;
    }
    case ARCHIVE_FCNTL_DISCARD:
      if (value < 0) return fail(EINVAL);
      h->discardNext = size_t(value);
      return 0;
    case ARCHIVE_FCNTL_CONTINUE_ON_ERROR:
      h->continueOnError = value != 0;
      return 0;
    case ARCHIVE_FCNTL_READBUFSIZE:
    case ARCHIVE_FCNTL_USERBUFSIZE: {
      // Only empty buffers change size, so no data is lost.
      if (value < 4096) return fail(EINVAL);
      if (request == ARCHIVE_FCNTL_READBUFSIZE) {
        if (h->dFill) return fail(EBUSY);
        size_t n = roundUp(size_t(value), h->directBlock);
        void *d = nullptr;
        if (posix_memalign(&d, size_t(sysconf(_SC_PAGESIZE)), n) != 0) return fail(ENOMEM);
        free(h->dbuf);
        h->dbuf = static_cast<uint8_t *>(d);
        h->dSize = n;
      } else {
        if (h->uEnd) return fail(EBUSY);
        void *u = realloc(h->ubuf, size_t(value));
        if (!u) return fail(ENOMEM);
        h->ubuf = static_cast<uint8_t *>(u);
        h->uSize = size_t(value);
      }
      return 0;
    }
    case ARCHIVE_FCNTL_LOWWATER:
      if (value < 0) return fail(EINVAL);
      h->lowWater = uint64_t(value);
      return 0;
    case ARCHIVE_FCNTL_ODIRECT: {
      int fl = fcntl(h->fd, F_GETFL);
      if (fl == -1 || fcntl(h->fd, F_SETFL, value ? fl | O_DIRECT : fl & ~O_DIRECT) == -1) {
        LOG(3, "NOTICE: failed to set O_DIRECT, read without O_DIRECT: %s.", strerror(errno));
        return -1;
      }
      if (value)
        h->properties |= ARCH_PROP_ODIRECT;
      else
        h->properties &= ~ARCH_PROP_ODIRECT;
      return 0;
    }
    default:
      LOG(0, "Invalid request type for archive_fcntl(): %d", request);
      return fail(EINVAL);
  }
}
