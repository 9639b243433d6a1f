// compression.h: compression streams (compress, decompress, pass) and the
// compression index of compressed backup archives.
//
// A VxCompressionState moves bytes from an input channel through an engine
// into an output channel. Compressed output is a sequence of independent
// units, one per `_blockoctets` of input: a gzip member (zlib engine) or an
// LZ4 frame with block and content checksums (lz4 engine). Closing a
// compress stream appends two compression index blocks that map input
// segments to the output offsets of the units that start them, so a reader
// can start decompressing at any segment (LoadCompressionIndex below).
//
// Channels are either files (a path the stream opens, a stdio stream or a
// descriptor) or the caller's hands: a caller without files puts input with
// VxCompressionPutInput (or fills inpput.buf between p and high itself),
// marks the input end with VxCompressionInputEnd, runs VxCompressionBlock
// and takes the output with VxCompressionTakeOutput.
//
// Results (_VxCompressionErr): 0 success, 1 output pending, negative codes
// below. A state is used by one thread at a time.
#pragma once

#include <sys/types.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The operation of a stream.
enum VxCompressionOp : int {
  VX_COMPRESS = 1,
  VX_DECOMPRESS = 2,
  VX_PASS = 3,
};

// The engine of a stream.
enum _VxCompressionEngineType : int {
  VX_ENGINE_NONE = 0,
  VX_ENGINE_RX9 = 1,
  VX_ENGINE_ZLIB = 2,
  VX_ENGINE_LZ4 = 3,
};

// Results of the stream functions.
typedef int _VxCompressionErr;
enum : int {
  VX_COMP_OK = 0,
  VX_COMP_PENDING = 1,     // output pending, not an error
  VX_COMP_CORRUPT = -1,    // bad LZ4 flags, header, block or content checksum
  VX_COMP_INVALID = -2,    // invalid argument or state
  VX_COMP_IO = -4,         // open, read, write, seek, tell, close, ioctl
  VX_COMP_NOMEM = -5,      // out of memory
  VX_COMP_NOROOM = -6,     // no room for a unit header
  VX_COMP_INCONSISTENT = -7,  // buffers, unsupported op/engine, index size
  VX_COMP_ZLIB = -8,       // zlib failure
  VX_COMP_NOTLZ4 = -9,     // not LZ4 data: the compressed data has ended
};

constexpr int kVxCompressionVersion = 111;
// Default input bytes per index segment.
constexpr size_t kVxDefaultSegmentOctets = 131072;
// Default input bytes per unit of the hardware engine.
constexpr size_t kVxHardwareBlockOctets = 32768;
// Input bytes per entry of the coarse (second) index block.
constexpr size_t kVxCoarseIndexOctets = 10485760;
// Smallest output buffer a caller may hand to a compress stream.
constexpr size_t kVxMinCompressOutput = 9999992;

// The hardware engine's request (its driver is absent on this platform;
// see store/hardcompress.h).
struct VxRx9Request {
  int error_code;
  size_t size;
  int context_index;
  int object_flag;
  char *data_ptr;
  size_t consumed;
};

// An LZ4 frame's content checksum (xxHash-32, seed 0) accumulated
// incrementally.
struct VxXxh32State {
  uint64_t total;
  uint32_t v[4];
  uint8_t mem[16];
  uint32_t memsize;
};

struct VxCompressionEngine {
  _VxCompressionEngineType _type;
  int _level;
  size_t _blockoctets;   // input bytes per unit
  off_t _blkstart;       // input offset of the current unit
  off_t _blkend;         // input offset where the current unit ends
  off_t _checksummed;    // input offset up to which the unit is checksummed
  uint32_t _crc32;       // CRC-32 of the unit's input so far
  uint32_t _adler32;     // Adler-32 of the unit's input so far
  off_t _unitoutstart;   // output offset at which the current unit starts
  int _eof;              // 1: no unit open (complete); 0: unit open
  int _flush;            // finish the current unit with the input at hand
  int _fd;               // hardware device, -1 when none
  VxRx9Request _rx9;
  z_stream _zstream;
  int _zinit;            // _zstream is initialised
  // LZ4 frame state.
  int _frameopen;
  int _blockchecksum;
  int _blockslinked;
  int _hascontentchecksum;
  VxXxh32State _contentchecksum;
  int _blockmaxid;       // 4..7: 64 KiB .. 4 MiB
};

struct VxCompressionIndex {
  const char *_magic;      // "ae9b77" (software engines) or "ae9b76" (rx9)
  size_t _segmentoctets;
  size_t _headerpadding;   // 32
  size_t _trailerpadding;  // 32
  size_t _grouping;        // entries per CRC-32 group, 128
  size_t _tablepadding;    // entries each block holds at least
  size_t _written;         // index bytes put into the output so far
  off_t _offset;           // output offset at which the index starts
  int64_t *_low, *_p, *_high;  // entry table, fill pointer, end
  off_t _segstart, _segend;    // input range of the current segment
};

struct VxCompressionBuffer {
  int _version;
  char *low, *p, *high;  // data (input) or pending output between low and p
  int _apifrees;         // the stream allocated the buffer and frees it
};

struct VxCompressionChannel {
  int _version;
  VxCompressionBuffer buf;
  off_t offset;          // stream offset of buf.low
  int _eof;
  int _flush;
  int (*_seek)(FILE *, off_t, int);  // fseeko
  off_t (*_tell)(FILE *);            // ftello
  int _fd;               // -1 when none
  FILE *_file;           // or null
  int _apicloses;        // the stream opened the file and closes it
};

struct VxCompressionState {
  int _version;          // 111 while valid, 0 after destruction
  _VxCompressionErr _error;
  char _errorDetails[256];
  VxCompressionOp _op;
  VxCompressionEngine _engine;
  VxCompressionIndex _index;
  VxCompressionChannel inpput;
  VxCompressionChannel output;
};

// Creates a stream. Paths are opened by the stream ("rb", "wb"); otherwise
// the stdio stream or the descriptor (-1 for none) is used; with neither
// the caller moves the bytes. Buffers not given are allocated (input:
// inputOctets or segmentOctets; output: outputOctets or blockOctets +
// segmentOctets, plus 1024). 0 for blockOctets/segmentOctets takes the
// defaults. Returns a new state (null only when memory runs out); its
// _error is 0 on success, else the failure code with _errorDetails set. The
// caller frees it with FreeVxCompressionState, whether it succeeded or not.
VxCompressionState *CreateVxCompressionState(
    VxCompressionOp op, _VxCompressionEngineType engine, int level, const char *inputPath,
    const char *outputPath, FILE *inputFile, FILE *outputFile, int inputFd, int outputFd,
    size_t blockOctets, size_t segmentOctets, char *inputBuffer, size_t inputOctets,
    char *outputBuffer, size_t outputOctets);

// Reads up to min(max, free input space) bytes from the input file into
// the input buffer. A read of 0 bytes sets inpput._eof and clears
// inpput._flush. Returns the bytes read or a negative error.
ssize_t VxCompressionRead(VxCompressionState *st, size_t max);
// Writes up to min(max, pending) output bytes; a short write keeps the rest
// at the front of the buffer. Returns the bytes written or an error.
ssize_t VxCompressionWrite(VxCompressionState *st, size_t max);
// Writes all pending output (as far as the output takes it); 0 or error.
int VxCompressionBlockWrite(VxCompressionState *st);
// The engine step: moves data through the stream as far as the buffers
// allow. 0 or an error (also kept in _error).
int VxCompressionBlock(VxCompressionState *st);
// Finishes the current unit with the input at hand and repeats the engine
// step until nothing changes. 0 or an error.
int VxCompressionFlush(VxCompressionState *st);
// Closes the stream: flushes, appends the index (compress) and writes the
// output. 0 closed (the state is destroyed), 1 output pending (drain the
// output and call again), or an error.
int VxCompressionClose(VxCompressionState *st);
// Releases everything the stream holds (device, index table, its buffers,
// the files it opened) and sets _version to 0. 0, or -4 when a close
// failed.
int DestroyVxCompressionState(VxCompressionState *st);
// Destroys (when still valid) and frees the state record.
void FreeVxCompressionState(VxCompressionState *st);
// Seeks a stdio input to `offset` and discards buffered input. 0 or error.
int VxCompressionInpSeek(VxCompressionState *st, off_t offset);
// Adds the input between the checksummed offset and `upto` to the unit's
// CRC-32 and Adler-32. 0 or error.
int VxCompressionBlockUpdateChecksums(VxCompressionState *st, off_t upto);

// Caller-driven channels. PutInput copies up to n bytes into the free
// input space and returns how many it took (0 when full or invalid).
size_t VxCompressionPutInput(VxCompressionState *st, const void *bytes, size_t n);
// Marks the end of the caller's input.
void VxCompressionInputEnd(VxCompressionState *st);
// Moves up to max pending output bytes to dst (null: discards them) and
// advances the output offset. Returns the count.
size_t VxCompressionTakeOutput(VxCompressionState *st, void *dst, size_t max);
// Pending output bytes.
size_t VxCompressionPending(const VxCompressionState *st);

// 2 (gzip), 3 (LZ4) or 0 (unknown, short or null buffer) from the first
// four bytes.
int getCompressionType(const void *buffer, int length);
// Engine for a CompressEngine name (case-insensitive, first 8 characters;
// null = "auto"); unknown names give 0 and a level-1 log line.
_VxCompressionEngineType parseCompressEngine(const char *name);
// Writes the state's fields, one per line, into out (size bytes); returns
// the length written.
int dumpVxCompressionState(const VxCompressionState *st, char *out, size_t size);

// Process-wide time counters (nanoseconds) of the streams.
struct VxCompressionStats {
  uint64_t readNs, writeNs, compressNs, moveNs;
};
VxCompressionStats VxCompressionGetStats();

// xxHash-32 with seed 0, as the LZ4 frame format uses it.
uint32_t vxXxh32(const void *bytes, size_t n);
void vxXxh32Reset(VxXxh32State *s);
void vxXxh32Update(VxXxh32State *s, const void *bytes, size_t n);
uint32_t vxXxh32Digest(const VxXxh32State *s);

// ---------------------------------------------------------------------
// Compression index reading.
//
// An index block is [header 32][entries, 8 bytes each, at least the table
// padding][trailer 32]; a compressed archive ends with the full block
// followed by the coarse block.

constexpr size_t kIndexHeaderSize = 32;
constexpr size_t kIndexTrailerSize = 32;
constexpr size_t kIndexEntrySize = 8;
constexpr size_t kIndexGrouping = 128;
constexpr size_t kIndexSoftPadding = 8192;  // entries, magic "ae9b77"
constexpr size_t kIndexHardPadding = 5120;  // entries, magic "ae9b76"
constexpr const char *kIndexSoftMagic = "ae9b77";
constexpr const char *kIndexHardMagic = "ae9b76";

// A loaded index: the file offset of the unit that starts each segment.
struct compressionIndex {
  int64_t *entries;
  size_t count;
  long long segmentSize;
};

// One index block's header and trailer fields.
struct VxIndexHeader {
  char magic[7];
  size_t segmentOctets;
  int version;
};
struct VxIndexTrailer {
  char magic[7];
  unsigned length;        // 64 + 8 x listed entries
  unsigned long checksum;
};
// Encoders and decoders of the 32-byte header and trailer. The decoders
// return 0, or -1 with a reason in `why` (a static text).
void encodeIndexHeader(const VxIndexHeader &h, uint8_t out[kIndexHeaderSize]);
int decodeIndexHeader(const uint8_t in[kIndexHeaderSize], VxIndexHeader *h, const char **why);
void encodeIndexTrailer(const VxIndexTrailer &t, uint8_t out[kIndexTrailerSize]);
int decodeIndexTrailer(const uint8_t in[kIndexTrailerSize], VxIndexTrailer *t, const char **why);
// The index checksum: the 64-bit sum of the CRC-32 of each run of 128
// entries (their little-endian bytes).
uint64_t indexChecksum(const int64_t *entries, size_t count);

// Reads the index block that ends at the current file position and leaves
// the file at that block's header. 0 or -1 with errorText set.
int SeekToPriorIndex(int fd, long long *length, size_t *segmentSize, unsigned long *checksum,
                     char *errorText, size_t errorSize);
// Loads the index at the end of the file (the full block when present,
// else the last). Null on failure with errorText set. The file position is
// unspecified afterwards. Free with FreeCompressionIndex.
compressionIndex *LoadCompressionIndex(int fd, char *errorText, size_t errorSize);
// File offset at which the index blocks at the end of the file begin, that
// is, the end of the compressed data; -1 when the file ends without a
// readable index (or on a read failure). The file position is kept.
off_t CompressedDataEnd(int fd);
// Positions fd at the unit that starts the segment holding `offset`.
// Returns the new file position, or -1 with errno (ERANGE, EINVAL).
off_t SeekToCompressedOffset(int fd, const compressionIndex *index, long long offset);
void FreeCompressionIndex(compressionIndex *index);
