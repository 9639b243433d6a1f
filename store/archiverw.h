// archiverw.h: the archive I/O filter, a file-like view of one backup
// archive on disk.
//
// archive_open/read/seek/close hide how an archive is stored: plain,
// compressed (gzip members or LZ4 frames as the compression streams write
// them, usually followed by a compression index), encrypted (a CryptoDaemon
// token at the start, then AES data in 32-byte units), or deduplicated (the
// reduplicating reader of store/redup.h serves the handle). Callers see
// virtual offsets in the decoded archive; the filter keeps the physical
// offset in the file beside them.
//
// Data flows file -> device buffer -> transform (decrypt, decompress) ->
// user buffer -> caller. Large physical reads fill the device buffer; right
// after an open or a long seek a few small reads (the read-ahead low water
// mark) keep random access cheap. Seeks reuse what the user or device
// buffer holds, keep data back for small backward seeks, and use the
// compression index to restart decompression at a segment boundary.
//
// Writers (archive_write) compress and/or encrypt: an encrypting writer
// puts a fresh token at the start of the file and pads the last 32-byte
// unit with zero bytes. Readers skip the leading tar entry of the decrypted
// data (512 bytes for a header with an empty name, else the whole entry),
// so encrypted archives start with such an entry.
//
// A handle is used by one thread at a time; handles share nothing but the
// configuration.
#pragma once

#include <sys/types.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "store/compression.h"
#include "store/libCryptoDaemon.h"

// Archive properties the filter acts on (the backup's properties from the
// catalogue, with bits added by the caller).
constexpr uint64_t ARCH_PROP_COMPRESSED = 0x6;      // may be compressed: detect the type
constexpr uint64_t ARCH_PROP_ENCRYPTED = 0x100;
constexpr uint64_t ARCH_PROP_REDUP_FILE = 0x200;    // opened by the reduplicating reader
constexpr uint64_t ARCH_PROP_DEDUPLICATED = 0x400;  // served by the reduplicating reader
constexpr uint64_t ARCH_PROP_ODIRECT = 0x10000000;

// Status flags of a handle.
enum : unsigned {
  ARCH_LOGICAL_EOF = 1,
  ARCH_PHYSICAL_EOF = 2,
  ARCH_CONTEXT_INIT = 4,
  ARCH_STREAM_MODE = 8,  // not seekable
};

// Transform flags.
enum : unsigned {
  XFORM_COMPRESS = 0x1,
  XFORM_DECOMPRESS = 0x2,
  XFORM_ENCRYPT = 0x4,
  XFORM_DECRYPT = 0x8,
  XFORM_PREPARED = 0x200,
  XFORM_MEMBER_END = 0x2000,  // a gzip member ended: look at the type again
  XFORM_DATA_END = 0x4000,    // non-compressed data met: the compressed data has ended
};

// archive_fcntl requests.
enum : int {
  ARCHIVE_FCNTL_IOBLOCKSIZE = 1,
  ARCHIVE_FCNTL_STREAM = 2,
  ARCHIVE_FCNTL_PADDING = 3,
  ARCHIVE_FCNTL_CLOEXEC = 6,
  ARCHIVE_FCNTL_DISCARD = 7,
  ARCHIVE_FCNTL_CONTINUE_ON_ERROR = 9,
  ARCHIVE_FCNTL_READBUFSIZE = 10,
  ARCHIVE_FCNTL_USERBUFSIZE = 11,
  ARCHIVE_FCNTL_LOWWATER = 13,
  ARCHIVE_FCNTL_ODIRECT = 14,  // value 1: reopen with O_DIRECT, 0: without
};

// Largest token an encrypted archive may start with.
constexpr size_t ARCH_MAX_TOKEN = 1048576;

// The transform state of a handle.
struct archiveTransform {
  unsigned flags;                // XFORM_*
  uint8_t *in;                   // carried input (token, partial units, magic bytes)
  size_t inSize, inFill;
  uint8_t *out;                  // output of the last transform
  size_t outSize, outFill;
  uint8_t *mid;                  // decrypted data on its way to decompression
  size_t midSize, midFill;
  uint8_t hold[512];             // output held back to keep outputs whole 512-byte blocks
  size_t holdFill;
  z_stream zs;
  int zinit;
  CDcryptCtx crypt;              // decryption (readers) or encryption (writers)
  uint8_t *token;                // the token being collected (readers)
  size_t tokenFill, tokenNeed;
  int cryptReady;
  int type;                      // 2 gzip, 3 LZ4, 0 not yet known
  VxCompressionState *lz4;       // LZ4 decompression
  VxCompressionState *comp;      // compressing writers
};

struct redupState;

// The filter handle. Allocated zeroed by archive_open, freed by
// archive_close.
struct archiveFilter {
  int fd;
  char mode;                     // 'r' or 'w'
  uint64_t properties;
  size_t ioBlockSize;            // 0 = none
  compressionIndex *positioner;  // loaded on the first long compressed seek
  void (*freePositioner)(compressionIndex *);
  int indexFailed;               // loading was tried and failed: read forward
  int continueOnError, recoverable, recoverableError;
  int64_t virtOffset;            // virtual offset of the next byte returned
  int64_t phyOffset;             // file offset of the next byte read
  int64_t headerSkip;            // decoded bytes before the archive proper
  int64_t dataStart;             // file offset of the encrypted payload (after the token)
  int64_t dataEnd;               // compressed reads: file offset where the index begins, -1 unknown
  int64_t pendingSkip;           // decoded bytes still to drop for the header skip
  unsigned status;               // ARCH_*
  archiveTransform xf;
  int cheatSeek0;                // a seek to 0 waits for the next read
  // User buffer: returned data kept in [uStart, uPos), unread in [uPos, uEnd).
  uint8_t *ubuf;
  size_t uStart, uPos, uEnd, uSize;
  int keepBackCount;
  size_t keepBackSize;
  size_t decompressedChunk, decompressChunk, decryptChunk;
  size_t directBlock;            // file system block size
  // Device buffer: file bytes [0, dFill), next unread at dPos; dbuf[0] lies
  // at file offset phyOffset - dFill.
  uint8_t *dbuf;
  size_t dPos, dFill, dSize;
  size_t discardNext;            // bytes to drop from the next physical read
  uint64_t readCount;            // reads since the open or the last long seek
  uint64_t lowWater;
  int resetReadCount;
  int padding;                   // writers: pad the file to the I/O block size
  int64_t written;               // writers: bytes written to the file
  redupState *redup;             // deduplicated archives
};

// Opens `path` ("r..." or "w..."). Properties with ARCH_PROP_DEDUPLICATED go
// to the reduplicating reader. Returns the handle or null with errno set.
archiveFilter *archive_open(const char *path, const char *mode, uint64_t properties);
// Reads up to count bytes at the virtual offset (a null buffer discards
// them). Returns the bytes returned (0 at the end of the archive) or -1 with
// errno.
ssize_t archive_read(archiveFilter *h, void *buffer, size_t count);
// SEEK_SET or SEEK_CUR to a virtual offset. Returns the new virtual offset
// or -1 with errno (SEEK_END and writers: EINVAL).
int64_t archive_seek(archiveFilter *h, int64_t offset, int whence);
// Flushes a writer, releases everything, closes the file. 0 or -1 with
// errno. A writer whose flush failed recoverably (continue-on-error) stays
// open and -1 is returned.
int archive_close(archiveFilter *h);
// Transforms and writes count bytes (writers). count or -1 with errno.
ssize_t archive_write(archiveFilter *h, const void *buffer, size_t count);
// Configuration after open (ARCHIVE_FCNTL_*). 0 or -1 with errno.
int archive_fcntl(archiveFilter *h, int request, int64_t value);

// The size field of a tar header (12 bytes at offset 124): octal, or '#'
// followed by up to 11 digits of 6 bits, least significant first, in the
// alphabet "./0-9A-Za-z". 0 or -1 when it is neither.
int parseTarSize(const char *field, uint64_t *size);
// Writes size in the '#' form into field (12 bytes).
void formatTarSize(uint64_t size, char *field);
