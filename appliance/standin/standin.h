// standin.h: code shared by the appliance stand-ins that make, hash and
// pack backups (mkbackup, fileDedup, recipe, platformSupportsDedup).
//
// The stand-ins play the appliance around rpd: they write backup archives
// and catalogue rows in exactly the forms rpd reads, hash archives into the
// deduplication index of either generation, and write the HaCTAR of a
// backup. Pieces:
//   - configuration discovery and logging for a stand-in process;
//   - a deterministic data generator (seeded), the tar entry encoder;
//   - archive writers (plain, gzip-member or LZ4-frame streams with their
//     compression index, encrypted through the CryptoDaemon) and a reader
//     that yields an archive's decoded byte stream (what rpd addresses by
//     virtual offset);
//   - the block cutter that splits a decoded archive into the blocks the
//     index records (file contents of tar entries, fixed blocks of images);
//   - small catalogue lookups about a backup's device and archive file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/libCryptoDaemon.h"

struct VxCompressionState;

namespace standin {

// ---- Process set-up ----------------------------------------------------------

// Finds master.ini and the binary directory for a stand-in process and
// sends its log to standard error at the level of LOG_LEVEL (default 0).
// master.ini is, in this order: $VX_MASTER_INI (exported by rpd to the
// commands it runs), $VXDIR/vxinit/master.ini, or the VXDIR of
// "/etc/default/vx.ini" (sandboxed by RPD_SYSROOT) + "/vxinit/master.ini".
// Fills g_master_ini, g_appdir and g_bindir. Returns 0, or -1 when no
// configuration can be located (the defaults then apply).
int initStandin(const char *program);

// Parses a byte count with an optional k, m or g suffix (powers of 1024).
// 0 / -1.
int parseSize(const char *text, uint64_t *out);

// ---- Properties and status bits of vx.backups --------------------------------

constexpr uint64_t PROP_GZIP = 0x2;        // archive is a gzip-member stream
constexpr uint64_t PROP_LZ4 = 0x4;         // archive is an LZ4-frame stream
constexpr uint64_t PROP_LEGACY_SQL = 0x80;
constexpr uint64_t PROP_ENCRYPTED = 0x100;
constexpr uint64_t PROP_HASHED = 0x600;    // 1536: the backup is hashed
constexpr uint64_t STATUS_SUCCESS = 0x440;
constexpr uint64_t STATUS_IN_PROGRESS = 0x200;
constexpr uint64_t STATUS_FAILED = 0x1040;
constexpr int D2D_DEVICE_TYPE = 128;

// ---- Deterministic data ----------------------------------------------------

// splitmix64: small, fast, and the same sequence on every platform.
struct Rng {
  uint64_t state;
  explicit Rng(uint64_t seed) : state(seed) {}
  uint64_t next();
  // Uniform in [0, 1).
  double unit();
  // Uniform in [0, n) (n > 0).
  uint64_t below(uint64_t n);
};
// Mixes two numbers into a seed.
uint64_t mixSeed(uint64_t a, uint64_t b);

// Fills buf with n bytes of generated data: page by page (4 KiB), a page is
// text-like (words from a small vocabulary, compressible) with probability
// `compressible`, else random bytes.
void fillData(Rng &rng, double compressible, uint8_t *buf, size_t n);

// ---- Tar entries -------------------------------------------------------------

constexpr size_t TAR_BLOCK = 512;

// Encodes a ustar header for a regular file ('0') or a directory ('5'):
// name (at most 99 characters), size in octal, mode, mtime, checksum.
// Returns 0, or -1 when the name does not fit.
int encodeTarHeader(uint8_t out[TAR_BLOCK], const std::string &name, uint64_t size, char typeFlag,
                    uint64_t mtime);
// The entry's size from a header block (octal or '#' base-64 digits).
uint64_t tarHeaderSize(const uint8_t block[TAR_BLOCK]);
// Bytes of padding after `size` bytes of data up to the next 512 boundary.
inline uint64_t tarPadding(uint64_t size) { return (TAR_BLOCK - size % TAR_BLOCK) % TAR_BLOCK; }

// ---- Archive writer ---------------------------------------------------------

// EncryptedFile: the same cipher layout (token, then 32-byte units padded
// with zero bytes) without the leading tar header block, for files that
// are sent decrypted as a whole, such as the HaCTAR of an encrypted backup.
enum class ArchiveFormat { Plain, Gzip, Lz4, Encrypted, EncryptedFile };

// Writes a new archive file (created exclusively, mode 0660). For Gzip and
// Lz4 the bytes go through a compression stream whose index is appended at
// close. For Encrypted the file starts with a token from the CryptoDaemon
// followed by the data encrypted with its archive key: an empty-named tar
// header block (which readers skip) and the archive, padded with zero bytes
// to whole 32-byte units.
class ArchiveWriter {
 public:
  ArchiveWriter() = default;
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter &) = delete;
  ArchiveWriter &operator=(const ArchiveWriter &) = delete;
  // 0 / -1 (logged).
  int open(const std::string &path, ArchiveFormat format);
  int write(const void *data, size_t n);
  // Finishes the stream and closes the file. 0 / -1.
  int close();
  // Decoded bytes written so far.
  uint64_t written() const { return written_; }

 private:
  int put(const void *data, size_t n);  // to the file
  int drainCompression(bool all);
  int encryptUnits(bool final);
  int fd_ = -1;
  ArchiveFormat format_ = ArchiveFormat::Plain;
  uint64_t written_ = 0;
  VxCompressionState *comp_ = nullptr;
  CDcryptCtx crypt_{};
  bool cryptReady_ = false;
  std::vector<uint8_t> pending_;  // plain bytes awaiting encryption
  std::string path_;
};

// ---- Archive reader -----------------------------------------------------------

// Reads the decoded byte stream of an archive file: decrypted (token at the
// start, leading empty-named or descriptive tar entry skipped), or
// decompressed (gzip members or LZ4 frames, up to the compression index),
// or plain. Sequential only.
class ArchiveReader {
 public:
  ArchiveReader() = default;
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader &) = delete;
  ArchiveReader &operator=(const ArchiveReader &) = delete;
  // Opens path; `properties` (of vx.backups) says whether it is encrypted
  // (0x100) or may be compressed (0x2/0x4; the type is detected from the
  // first bytes). 0 / -1 (logged).
  int open(const std::string &path, uint64_t properties);
  // Reads up to n decoded bytes; returns the count (0 at the end) or -1.
  ssize_t read(void *buf, size_t n);
  // Reads exactly n bytes unless the archive ends first; returns the count
  // or -1.
  ssize_t readFull(void *buf, size_t n);
  // Moves past n decoded bytes without delivering them (a plain archive
  // seeks); returns the count passed (less when the archive ends) or -1.
  ssize_t skip(uint64_t n);
  // Decoded offset of the next byte read.
  uint64_t offset() const { return offset_; }
  int fd() const { return fd_; }
  void close();

 private:
  enum class Mode { Plain, Gzip, Lz4, Encrypted };
  ssize_t fill();  // decodes more into out_; 0 at the end
  ssize_t rawRead(void *buf, size_t n);
  int refillRaw();
  ssize_t decodeGzip();
  ssize_t decodeLz4();
  ssize_t decodeEncrypted();
  int fd_ = -1;
  Mode mode_ = Mode::Plain;
  uint64_t offset_ = 0;
  bool rawEnd_ = false;
  bool end_ = false;
  std::vector<uint8_t> raw_;   // undecoded input
  size_t rawPos_ = 0;
  std::vector<uint8_t> out_;   // decoded, not yet delivered
  size_t outPos_ = 0;
  void *zs_ = nullptr;         // z_stream when gzip
  bool zActive_ = false;
  CDcryptCtx crypt_{};
  bool cryptReady_ = false;
  uint64_t skip_ = 0;          // decrypted bytes still to drop (leading entry)
  bool headerChecked_ = false;
};

// ---- Blocks -------------------------------------------------------------------

// One block of a backup: where it lies in the decoded archive, its length
// and its SHA-512 digest.
struct Block {
  uint64_t offset;
  uint64_t length;
  uint8_t digest[64];
};

// How an archive is cut into blocks.
struct CutRule {
  bool tar;                // tar entries: file contents cut at subfileBytes
  uint64_t subfileBytes;   // largest block of a tar entry's contents
  uint64_t imageBytes;     // block size of image archives
};
// The rule for a backup of this type and these properties: tar unless the
// type is bare metal (1024) or an older SQL backup (type 4 with 0x80);
// subfile limit from maxSubfileBytes; image blocks from master.ini
// [fileDedup] imageBlockBytes (default 65536).
CutRule cutRuleFor(uint32_t backupType, uint64_t properties);

// Walks the decoded archive and calls `onBlock` with each block and its
// data in file order (a non-zero return stops the walk and is returned).
// A tar archive whose next header does not parse ends the cutting there:
// the rest of the archive is left unhashed. Returns 0, the callback's
// value, or -1 on a read failure.
int cutBlocks(ArchiveReader &reader, const CutRule &rule,
              const std::function<int(const Block &, const uint8_t *data)> &onBlock);

// SHA-512 of n bytes into out[64].
void sha512(const void *data, size_t n, uint8_t out[64]);

// ---- Catalogue lookups -----------------------------------------------------

struct BackupInfo {
  uint64_t backupNo = 0;
  uint64_t properties = 0;
  uint64_t status = 0;
  uint32_t type = 0;
  std::string devNrName;  // directory of the archive files
  std::string devRwName;  // directory of work files (the HaCTAR)
};
// Reads the backup's row and its device. 0, 1 when the backup does not
// exist, -1 on a failed query.
int lookupBackup(uint64_t backupNo, BackupInfo *info);
// Path of the backup's archive: "<dir>/backup_N.gz" when it exists, else
// "<dir>/backup_N" when that exists, trying the backup's device directory
// first and then every disk device. Empty when there is none.
std::string findArchive(const BackupInfo &info);
// Path of the lock marker of an archive ("<archive path>.lock"): while it
// exists the backup counts as locked for hashing.
std::string lockMarkerPath(uint64_t backupNo, const std::string &dir);

}  // namespace standin
