// archive.cpp: the stand-ins' archive writer and decoded-stream reader (see
// standin.h).
//
// The writer produces the archive forms the appliance keeps on its disk
// devices: plain, a compression stream (gzip members or LZ4 frames, one
// unit per 64 KiB of input, compression index at the end) or encrypted
// (token, then the data encrypted in 32-byte units). The reader turns any of
// them back into the decoded byte stream, whose offsets are the file
// offsets the deduplication index records and rpd's archive filter serves.
#include <fcntl.h>
#include <lz4.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "appliance/standin/standin.h"
#include "lib/fdio.h"
#include "lib/is_tar.h"
#include "lib/logger.h"
#include "store/compression.h"

namespace standin {

namespace {

constexpr size_t kUnitBytes = 65536;          // input bytes per compressed unit
constexpr size_t kCryptChunk = 65536;         // bytes per encryption call (whole units)
constexpr size_t kRawChunk = 1 << 20;         // bytes per physical read
constexpr size_t kMaxToken = (1 << 20) + 512; // largest token accepted
constexpr int kFileTokenHeader = 1536;         // token header of EncryptedFile
constexpr uint32_t kLz4FrameMagic = 0x184D2204;

uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// The block that leads the encrypted data: a valid tar header with an
// empty name, which readers drop (header skip of 512 bytes).
void emptyNamedHeader(uint8_t out[TAR_BLOCK]) {
  memset(out, 0, TAR_BLOCK);
  char *h = reinterpret_cast<char *>(out);
  snprintf(h + 100, 8, "%07o", 0644u);
  snprintf(h + 108, 8, "%07o", 0u);
  snprintf(h + 116, 8, "%07o", 0u);
  snprintf(h + 124, 12, "%011o", 0u);
  snprintf(h + 136, 12, "%011o", 0u);
  h[156] = '0';
  memset(h + 148, ' ', 8);
  unsigned sum = 0;
  for (size_t i = 0; i < TAR_BLOCK; i++) sum += out[i];
  snprintf(h + 148, 8, "%06o", sum);
  h[155] = ' ';
}

}  // namespace

// ---- Writer ----------------------------------------------------------------------

ArchiveWriter::~ArchiveWriter() {
  if (comp_) FreeVxCompressionState(comp_);
  if (cryptReady_) CDlibReleaseCtx(&crypt_);
  if (fd_ >= 0) ::close(fd_);
}

int ArchiveWriter::put(const void *data, size_t n) {
  if (writeAll(fd_, data, n) != static_cast<ssize_t>(n)) {
    LOG(0, "write(%s): %s", path_.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int ArchiveWriter::open(const std::string &path, ArchiveFormat format) {
  path_ = path;
  format_ = format;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
  if (fd_ < 0) {
    LOG(0, "Failed to open %s for writing: %s", path.c_str(), strerror(errno));
    return -1;
  }
  if (format == ArchiveFormat::Gzip || format == ArchiveFormat::Lz4) {
    comp_ = CreateVxCompressionState(VX_COMPRESS, format == ArchiveFormat::Gzip ? VX_ENGINE_ZLIB : VX_ENGINE_LZ4, 1,
                                     nullptr, nullptr, nullptr, nullptr, -1, -1, kUnitBytes, 0, nullptr, 0,
                                     nullptr, 0);
    if (!comp_ || comp_->_error != 0) {
      LOG(0, "Failed to initialize compression for %s: %s", path.c_str(), comp_ ? comp_->_errorDetails : "");
      return -1;
    }
  } else if (format == ArchiveFormat::Encrypted || format == ArchiveFormat::EncryptedFile) {
    CDresult res{};
    if (CDlibInitCryptWithArchiveKey(&crypt_, &res) != 0) {
      LOG(0, "Can't initialize encryption for %s: %.64s", path.c_str(), res.message);
      return -1;
    }
    cryptReady_ = true;
    std::vector<uint8_t> token(kMaxToken);
    int size = static_cast<int>(token.size());
    if (CDlibGetToken(token.data(), &size, &crypt_, &res) != 0) {
      LOG(0, "Can't get an encryption token for %s: %.64s", path.c_str(), res.message);
      return -1;
    }
    // A whole encrypted file (the HaCTAR) carries its token in a fixed
    // header of 1536 bytes, zero-padded, which the sender skips before it
    // decrypts the rest.
    if (format == ArchiveFormat::EncryptedFile && size < kFileTokenHeader) size = kFileTokenHeader;
    if (put(token.data(), size_t(size)) != 0) return -1;
    if (format == ArchiveFormat::Encrypted) {
      pending_.resize(TAR_BLOCK);
      emptyNamedHeader(pending_.data());
    }
  }
  return 0;
}

int ArchiveWriter::drainCompression(bool) {
  uint8_t buf[65536];
  size_t n;
  while ((n = VxCompressionTakeOutput(comp_, buf, sizeof buf)) > 0)
    if (put(buf, n) != 0) return -1;
  return 0;
}

// Encrypts the whole 32-byte units of pending_ (with final, pads the rest
// with zero bytes first) and writes them.
int ArchiveWriter::encryptUnits(bool final) {
  if (final && pending_.size() % kCDUnitSize) pending_.resize(pending_.size() + kCDUnitSize - pending_.size() % kCDUnitSize, 0);
  size_t whole = pending_.size() - pending_.size() % kCDUnitSize;
  std::vector<uint8_t> out(kCryptChunk);
  size_t done = 0;
  while (done < whole) {
    size_t n = whole - done < kCryptChunk ? whole - done : kCryptChunk;
    crypt_.nextDataInPtr = pending_.data() + done;
    crypt_.dataInBytes = int32_t(n);
    crypt_.nextDataOutPtr = out.data();
    crypt_.dataOutBytes = int32_t(out.size());
    CDresult res{};
    if (CDlibCrypt(CD_OP_ENCRYPT, &crypt_, &res) != 0 || crypt_.dataInBytes != 0) {
      LOG(0, "CDlibCrypt(%s): %.64s", path_.c_str(), res.message);
      return -1;
    }
    if (put(out.data(), n) != 0) return -1;
    done += n;
  }
  pending_.erase(pending_.begin(), pending_.begin() + long(whole));
  return 0;
}

int ArchiveWriter::write(const void *data, size_t n) {
  if (fd_ < 0) return -1;
  const uint8_t *p = static_cast<const uint8_t *>(data);
  written_ += n;
  switch (format_) {
    case ArchiveFormat::Plain:
      return put(p, n);
    case ArchiveFormat::Encrypted:
    case ArchiveFormat::EncryptedFile:
      pending_.insert(pending_.end(), p, p + n);
      return pending_.size() >= kCryptChunk ? encryptUnits(false) : 0;
    default:
      break;
  }
  while (n > 0) {
    size_t took = VxCompressionPutInput(comp_, p, n);
    p += took;
    n -= took;
    if (VxCompressionBlock(comp_) != 0) {
      LOG(0, "Compression of %s failed: %s", path_.c_str(), comp_->_errorDetails);
      return -1;
    }
    if (drainCompression(false) != 0) return -1;
  }
  return 0;
}

int ArchiveWriter::close() {
  if (fd_ < 0) return -1;
  int rc = 0;
  if (comp_) {
    VxCompressionInputEnd(comp_);
    int c;
    while ((c = VxCompressionClose(comp_)) == VX_COMP_PENDING)
      if (drainCompression(true) != 0) break;
    if (c != 0 || drainCompression(true) != 0) {
      LOG(0, "Failed to finish compressed archive %s (%d)", path_.c_str(), c);
      rc = -1;
    }
    FreeVxCompressionState(comp_);
    comp_ = nullptr;
  } else if (format_ == ArchiveFormat::Encrypted || format_ == ArchiveFormat::EncryptedFile) {
    rc = encryptUnits(true);
  }
  if (fsync(fd_) != 0 && rc == 0) rc = -1;
  if (::close(fd_) != 0) rc = -1;
  fd_ = -1;
  return rc;
}

// ---- Reader -------------------------------------------------------------------------

ArchiveReader::~ArchiveReader() { close(); }

void ArchiveReader::close() {
  if (zs_) {
    z_stream *zs = static_cast<z_stream *>(zs_);
    if (zActive_) inflateEnd(zs);
    delete zs;
    zs_ = nullptr;
  }
  if (cryptReady_) CDlibReleaseCtx(&crypt_);
  cryptReady_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// Moves unread raw bytes to the front and reads more. 1 when bytes came,
// 0 at the end of the file, -1 on error.
int ArchiveReader::refillRaw() {
  if (rawEnd_) return 0;
  if (rawPos_ > 0) {
    raw_.erase(raw_.begin(), raw_.begin() + long(rawPos_));
    rawPos_ = 0;
  }
  size_t have = raw_.size();
  raw_.resize(have + kRawChunk);
  ssize_t n = ::readFull(fd_, raw_.data() + have, kRawChunk);
  if (n < 0) {
    LOG(0, "read(archive): %s", strerror(errno));
    raw_.resize(have);
    return -1;
  }
  raw_.resize(have + size_t(n));
  if (n == 0) rawEnd_ = true;
  return n > 0 ? 1 : 0;
}

int ArchiveReader::open(const std::string &path, uint64_t properties) {
  close();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    LOG(0, "Failed to open %s for reading: %s", path.c_str(), strerror(errno));
    return -1;
  }
  offset_ = 0;
  rawEnd_ = end_ = false;
  raw_.clear();
  rawPos_ = 0;
  out_.clear();
  outPos_ = 0;
  mode_ = Mode::Plain;
  if (properties & PROP_ENCRYPTED) {
    mode_ = Mode::Encrypted;
    while (raw_.size() < TAR_BLOCK && refillRaw() > 0) {
    }
    if (raw_.size() < TAR_BLOCK || raw_[156] != 'E' || !is_tar(reinterpret_cast<const char *>(raw_.data()))) {
      LOG(0, "%s: Should have seen encrypted token header but didn't", path.c_str());
      return -1;
    }
    uint64_t tokenLength = TAR_BLOCK + tarHeaderSize(raw_.data());
    if (tokenLength > kMaxToken) {
      LOG(0, "%s: Encrypted token too large", path.c_str());
      return -1;
    }
    while (raw_.size() < tokenLength && refillRaw() > 0) {
    }
    if (raw_.size() < tokenLength) {
      LOG(0, "%s: truncated encryption token", path.c_str());
      return -1;
    }
    CDresult res{};
    if (CDlibInitCryptWithToken(raw_.data(), int(tokenLength), &crypt_, &res) != 0) {
      LOG(0, "Failed to initialize with token: %.64s", res.message);
      return -1;
    }
    cryptReady_ = true;
    rawPos_ = tokenLength;
    headerChecked_ = false;
    skip_ = 0;
    return 0;
  }
  if (properties & (PROP_GZIP | PROP_LZ4)) {
    while (raw_.size() < 4 && refillRaw() > 0) {
    }
    int type = getCompressionType(raw_.data(), int(raw_.size()));
    if (type == 2) {
      mode_ = Mode::Gzip;
      zs_ = new z_stream{};
      zActive_ = false;
    } else if (type == 3) {
      mode_ = Mode::Lz4;
    }
  }
  return 0;
}

// One gzip member step: inflates what the raw buffer holds; at the end of
// a member the next member must follow, anything else (the compression
// index) ends the data.
ssize_t ArchiveReader::decodeGzip() {
  z_stream *zs = static_cast<z_stream *>(zs_);
  for (;;) {
    if (!zActive_) {
      while (raw_.size() - rawPos_ < 2 && refillRaw() > 0) {
      }
      if (raw_.size() - rawPos_ < 2 || raw_[rawPos_] != 0x1F || raw_[rawPos_ + 1] != 0x8B) return 0;
      *zs = z_stream{};
      if (inflateInit2(zs, 47) != Z_OK) {
        LOG(0, "Failed to initialize decompression state");
        return -1;
      }
      zActive_ = true;
    }
    if (rawPos_ == raw_.size() && refillRaw() < 0) return -1;
    size_t start = out_.size();
    out_.resize(start + 262144);
    zs->next_in = raw_.data() + rawPos_;
    zs->avail_in = uInt(raw_.size() - rawPos_);
    zs->next_out = out_.data() + start;
    zs->avail_out = 262144;
    int rc = inflate(zs, Z_SYNC_FLUSH);
    rawPos_ = raw_.size() - zs->avail_in;
    out_.resize(start + (262144 - zs->avail_out));
    if (rc == Z_STREAM_END) {
      inflateEnd(zs);
      zActive_ = false;
    } else if (rc == Z_BUF_ERROR && rawEnd_ && rawPos_ == raw_.size()) {
      LOG(0, "Truncated gzip member in archive");
      return -1;
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
      LOG(0, "Error inflating: %s", zs->msg ? zs->msg : "");
      return -1;
    }
    if (out_.size() > start) return ssize_t(out_.size() - start);
  }
}

// One LZ4 frame (or the next block of it): independent blocks, optional
// block and content checksums. A position that does not start a frame (the
// compression index) ends the data.
ssize_t ArchiveReader::decodeLz4() {
  auto need = [&](size_t n) {
    while (raw_.size() - rawPos_ < n)
      if (refillRaw() <= 0) break;
    return raw_.size() - rawPos_ >= n;
  };
  for (;;) {
    if (!need(7) || le32(raw_.data() + rawPos_) != kLz4FrameMagic) return 0;
    const uint8_t *h = raw_.data() + rawPos_;
    uint8_t flg = h[4], bd = h[5];
    size_t headerBytes = 7 + ((flg & 0x08) ? 8 : 0) + ((flg & 0x01) ? 4 : 0);
    bool blockSums = flg & 0x10, contentSum = flg & 0x04;
    size_t maxBlock = size_t(1) << (8 + 2 * ((bd >> 4) & 7));
    rawPos_ += headerBytes;
    size_t produced = 0;
    for (;;) {
      if (!need(4)) {
        LOG(0, "Truncated LZ4 frame in archive");
        return -1;
      }
      uint32_t size = le32(raw_.data() + rawPos_);
      rawPos_ += 4;
      if (size == 0) {
        rawPos_ += contentSum ? 4 : 0;
        break;
      }
      size_t stored = size & 0x7FFFFFFF;
      if (!need(stored + (blockSums ? 4 : 0))) {
        LOG(0, "Truncated LZ4 block in archive");
        return -1;
      }
      size_t start = out_.size();
      if (size & 0x80000000) {
        out_.insert(out_.end(), raw_.begin() + long(rawPos_), raw_.begin() + long(rawPos_ + stored));
      } else {
        out_.resize(start + maxBlock);
        int n = LZ4_decompress_safe(reinterpret_cast<const char *>(raw_.data() + rawPos_),
                                    reinterpret_cast<char *>(out_.data() + start), int(stored), int(maxBlock));
        if (n < 0) {
          LOG(0, "Failed to decompress archive data");
          return -1;
        }
        out_.resize(start + size_t(n));
      }
      produced += out_.size() - start;
      rawPos_ += stored + (blockSums ? 4 : 0);
    }
    if (produced) return ssize_t(produced);
  }
}

// Decrypts the whole 32-byte units the raw buffer holds; the first
// decrypted block must be a tar header, which (with an empty name) or whose
// whole entry is dropped from the decoded stream.
ssize_t ArchiveReader::decodeEncrypted() {
  for (;;) {
    if (raw_.size() - rawPos_ < kCDUnitSize) {
      int r = refillRaw();
      if (r < 0) return -1;
      if (r == 0 && raw_.size() - rawPos_ < kCDUnitSize) return 0;
      continue;
    }
    size_t n = raw_.size() - rawPos_;
    n -= n % kCDUnitSize;
    if (n > kCryptChunk) n = kCryptChunk;
    size_t start = out_.size();
    out_.resize(start + n);
    crypt_.nextDataInPtr = raw_.data() + rawPos_;
    crypt_.dataInBytes = int32_t(n);
    crypt_.nextDataOutPtr = out_.data() + start;
    crypt_.dataOutBytes = int32_t(n);
    CDresult res{};
    if (CDlibCrypt(CD_OP_DECRYPT, &crypt_, &res) != 0 || crypt_.dataInBytes != 0) {
      LOG(0, "CDlibCrypt(archive): %.64s", res.message);
      return -1;
    }
    rawPos_ += n;
    if (!headerChecked_) {
      // The leading header is wholly inside the first decrypted chunk
      // (chunks are at least 512 bytes unless the file is shorter).
      if (out_.size() - outPos_ < TAR_BLOCK || !is_tar(reinterpret_cast<const char *>(out_.data() + outPos_))) {
        LOG(0, "Bad encrypted header");
        return -1;
      }
      const uint8_t *hdr = out_.data() + outPos_;
      uint64_t size = tarHeaderSize(hdr);
      skip_ = hdr[0] == 0 ? TAR_BLOCK : ((size + TAR_BLOCK - 1) / TAR_BLOCK + 1) * TAR_BLOCK;
      headerChecked_ = true;
    }
    size_t drop = out_.size() - outPos_ < skip_ ? out_.size() - outPos_ : size_t(skip_);
    outPos_ += drop;
    skip_ -= drop;
    if (out_.size() > outPos_) return ssize_t(out_.size() - outPos_);
  }
}

ssize_t ArchiveReader::rawRead(void *buf, size_t n) {
  if (rawPos_ < raw_.size()) {
    size_t k = raw_.size() - rawPos_ < n ? raw_.size() - rawPos_ : n;
    memcpy(buf, raw_.data() + rawPos_, k);
    rawPos_ += k;
    return ssize_t(k);
  }
  ssize_t r;
  do r = ::read(fd_, buf, n);
  while (r < 0 && errno == EINTR);
  if (r < 0) LOG(0, "read(archive): %s", strerror(errno));
  return r;
}

ssize_t ArchiveReader::fill() {
  if (outPos_ > 0 && outPos_ == out_.size()) {
    out_.clear();
    outPos_ = 0;
  }
  switch (mode_) {
    case Mode::Gzip: return decodeGzip();
    case Mode::Lz4: return decodeLz4();
    case Mode::Encrypted: return decodeEncrypted();
    default: return 0;
  }
}

ssize_t ArchiveReader::read(void *buf, size_t n) {
  if (fd_ < 0) return -1;
  if (n == 0 || end_) return 0;
  if (mode_ == Mode::Plain) {
    ssize_t r = rawRead(buf, n);
    if (r > 0) offset_ += uint64_t(r);
    if (r == 0) end_ = true;
    return r;
  }
  while (outPos_ == out_.size()) {
    ssize_t r = fill();
    if (r < 0) return -1;
    if (r == 0 && outPos_ == out_.size()) {
      end_ = true;
      return 0;
    }
  }
  size_t k = out_.size() - outPos_ < n ? out_.size() - outPos_ : n;
  memcpy(buf, out_.data() + outPos_, k);
  outPos_ += k;
  offset_ += k;
  return ssize_t(k);
}

ssize_t ArchiveReader::readFull(void *buf, size_t n) {
  size_t got = 0;
  uint8_t *p = static_cast<uint8_t *>(buf);
  while (got < n) {
    ssize_t r = read(p + got, n - got);
    if (r < 0) return -1;
    if (r == 0) break;
    got += size_t(r);
  }
  return ssize_t(got);
}

ssize_t ArchiveReader::skip(uint64_t n) {
  if (fd_ < 0) return -1;
  uint64_t done = 0;
  if (mode_ == Mode::Plain && !end_) {
    size_t buffered = raw_.size() - rawPos_;
    size_t k = buffered < n ? buffered : size_t(n);
    rawPos_ += k;
    done = k;
    struct stat st;
    off_t at = lseek(fd_, 0, SEEK_CUR);
    if (done < n && at >= 0 && fstat(fd_, &st) == 0) {
      uint64_t left = st.st_size > at ? uint64_t(st.st_size - at) : 0;
      uint64_t k2 = left < n - done ? left : n - done;
      if (lseek(fd_, off_t(k2), SEEK_CUR) < 0) return -1;
      done += k2;
    }
    offset_ += done;
    if (done == n) return ssize_t(done);
  }
  // Compressed and encrypted archives are decoded and the bytes dropped.
  std::vector<uint8_t> scratch(n - done < (1u << 20) ? size_t(n - done) : (1u << 20));
  while (done < n) {
    size_t want = n - done < scratch.size() ? size_t(n - done) : scratch.size();
    ssize_t r = read(scratch.data(), want);
    if (r < 0) return -1;
    if (r == 0) break;
    done += uint64_t(r);
  }
  return ssize_t(done);
}

}  // namespace standin
