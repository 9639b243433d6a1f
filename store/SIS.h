// SIS.h: the single instance store (SIS), which holds the data of every
// deduplicated block of the appliance exactly once.
//
// The store is one flat 64-bit address space (SIS offsets) cut into spans of
// a fixed size; each span lives in one ordinary file (an SIS file named by
// its span base in "%016lX") in the "SIS/" directory of one deduplication
// device. A shared, memory-mapped info file ("/backups/SISinfo") holds the
// store's parameters, the list of device directories and a consistent-hash
// table (lookup3 hashes) saying on which device each span's file belongs.
//
// Readers open a handle with openSIS(), read plain bytes at an SIS offset
// with readSIS() and one stored block (possibly an LZ4 legacy-frame block)
// with readSISsubfile(). The writer side (SISappendBlock) allocates offsets
// at the store's end, creates span files on their owning device and stores
// blocks plain or compressed; the appliance stand-ins use it.
//
// A handle is used by one thread at a time; between calls it holds no lock.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "pipeline/common.h"
#include "store/libCryptoDaemon.h"

// ---- Info file layout (little-endian, offsets from the start of the file) --
namespace sisinfo {
constexpr size_t VERSION = 0;         // u32, must be 0
constexpr size_t UPDATE_TIME = 8;     // u64 seconds since the epoch
constexpr size_t GENERATION = 16;     // u64, bumped on every map change
constexpr size_t BLOCK_SIZE = 24;     // u64 deduplication block size
constexpr size_t FILE_SIZE = 32;      // u64 bytes of SIS offsets per SIS file
constexpr size_t END_OFFSET = 40;     // u64 first offset that holds nothing yet
constexpr size_t DEVICE_LIST = 48;    // u64 offset of the device list (72)
constexpr size_t HASH_TABLE = 56;     // u64 offset of the hash-entry table (0 = none)
constexpr size_t MAPPED_LENGTH = 64;  // u32 length the file is extended and mapped to
constexpr size_t HASH_COUNT = 68;     // u32 number of hash entries
constexpr size_t HEADER_BYTES = 72;   // the device list starts here

// Device record: u32 weight, u8 flags, NUL-terminated path ending in "SIS/".
constexpr size_t DEV_WEIGHT = 0;
constexpr size_t DEV_FLAGS = 4;
constexpr size_t DEV_PATH = 5;
constexpr uint8_t DEV_DELETED = 1;       // deleted, in force
constexpr uint8_t DEV_SCAN_DELETED = 2;  // deleted according to the latest scan
constexpr uint8_t DEV_SCAN_CLEARED = 12; // bits 2 and 3: cleared by each scan
constexpr uint32_t DEV_MAX_WEIGHT = 256;

// Hash entry: u64 device record offset, u32 hash value, u32 reserved.
constexpr size_t ENTRY_DEVICE = 0;
constexpr size_t ENTRY_HASH = 8;
constexpr size_t ENTRY_BYTES = 16;

constexpr uint64_t DEFAULT_FILE_SIZE = 0x800000000ULL;  // 32 GiB per SIS file
}  // namespace sisinfo

// Decoded header of the info file.
struct SISinfoHeader {
  uint32_t version;
  uint64_t updateTime;
  uint64_t generation;
  uint64_t blockSize;
  uint64_t fileSize;
  uint64_t endOffset;
  uint64_t deviceList;
  uint64_t hashTable;
  uint32_t mappedLength;
  uint32_t hashCount;
};
// Reads/writes the 72-byte header at p (the start of the info file).
void decodeSISinfoHeader(const uint8_t *p, SISinfoHeader *h);
void encodeSISinfoHeader(uint8_t *p, const SISinfoHeader *h);

// Decoded device record. `path` points into the mapping (or the caller's
// buffer for encoding).
struct SISdeviceRecord {
  uint32_t weight;
  uint8_t flags;
  const char *path;
};
// Decodes the record at p; returns false at the list's terminator (empty path).
bool decodeSISdevice(const uint8_t *p, SISdeviceRecord *d);
// Writes the record at p (6 + strlen(path) bytes).
void encodeSISdevice(uint8_t *p, const SISdeviceRecord *d);
// Bytes from the start of a record with a path of pathLength bytes to the
// next record: (pathLength + 15) rounded down to a multiple of 8.
inline size_t SISdeviceStride(size_t pathLength) { return (pathLength + 15) & ~size_t(7); }

struct SIShashEntry {
  uint64_t device;  // offset of the owning device record in the info file
  uint32_t hash;
};
void decodeSIShashEntry(const uint8_t *p, SIShashEntry *e);
void encodeSIShashEntry(uint8_t *p, const SIShashEntry &e);

// Bob Jenkins' lookup3 hashes (public domain), as the store's consistent
// hashing uses them: hashlittle over bytes, hashword over 32-bit words.
uint32_t hashlittle(const void *key, size_t length, uint32_t initval);
uint32_t hashword(const uint32_t *k, size_t length, uint32_t initval);

// ---- The handle -------------------------------------------------------------

// One user's view of the store; owned by its opener, released by freeSIS.
// Used by one thread at a time.
struct SIShandle {
  int infoFd;                 // the info file, -1 when closed
  uint8_t *info;              // mapping of the info file
  uint8_t *mappingFields;     // info + 48
  uint8_t *deviceList;        // info + device-list offset
  uint8_t *hashEntries;       // info + hash-table offset (null when none)
  size_t mappedLength;        // length mapped at the last synchronisation
  uint64_t generation;        // generation seen at the last synchronisation
  int lockFd;                 // "/dev/shm/.SISlockFile" (writers), -1
  int sisFd;                  // current SIS file, -1 when none
  uint32_t smgrKey;           // storage manager registration key (writers)
  char *sisPath;              // path of the current SIS file (malloc'ed)
  size_t sisPathLength;
  long pageSize;
  uint8_t *window;            // mapping window into the current SIS file
  uint64_t windowOffset;      // SIS offset at which the window starts
  size_t windowLength;
  uint64_t tokenLength;       // encryption token length of the file (0 = plain)
  CDcryptCtx crypt;           // decryption context of the current file
  uint8_t *compressed;        // compressed-data buffer
  size_t compressedSize;
  uint8_t *subfileCache;      // decompressed contents of one block
  size_t subfileCacheSize;
  uint64_t subfileHashID;     // hash id held in the cache, 0 = empty
};

// Opens the store: opens (creating if absent) the info file, takes its lock,
// brings the device list up to date from the catalogue when this process got
// the exclusive lock, maps it and releases the lock. Null when the store is
// not usable (logged). The caller frees the handle with freeSIS.
SIShandle *openSIS();
// Unmaps and closes everything the handle holds and frees it.
void freeSIS(SIShandle *handle);

// Copies up to `length` bytes at SIS offset `offset` into dst. Returns the
// bytes copied (fewer when the current window or the store's end comes
// first, 0 at the end), or -1 (logged).
ssize_t readSIS(SIShandle *handle, void *dst, size_t length, uint64_t offset);
// Reads up to `length` bytes of the block described by `record` (hashID,
// hashedLength, compressedLength, SISoffset), starting at SIS offset
// `offset` inside the block. Plain blocks read like readSIS; compressed ones
// are decompressed (through the handle's one-block cache for partial reads).
// Bytes delivered, or -1; callers repeat until they have what they want.
ssize_t readSISsubfile(SIShandle *handle, void *dst, size_t length, uint64_t offset,
                       const HashValue *record);
// Decompresses the stored block at `offset` (compressedSize stored bytes)
// into dst, never writing more than `length` bytes. Bytes obtained or -1.
ssize_t readSIScompressedRegion(SIShandle *handle, void *dst, size_t length, uint64_t offset,
                                uint64_t compressedSize);
ssize_t readSIScompressedBlock(SIShandle *handle, void *dst, size_t length, uint64_t offset,
                               uint64_t compressedSize);

// Rebuilds the device list and hash entries from the catalogue's dedup
// devices. Must be called with the info file locked exclusively. 0 / -1.
int updateSISmap(SIShandle *handle);

// The store's deduplication block size; all ones (logged) for a null handle.
uint64_t getDeduplicationBlockSize(SIShandle *handle);
// Storage manager key of the SIS file holding `offset`: the upper 32 bits of
// its span base XOR 0x73000000. 0 (logged, EINVAL) for a null handle.
uint32_t generateSISoffset_smgrKey(SIShandle *handle, uint64_t offset);

// Makes `handle` hold the SIS file of the span of `offset` (and its
// decryption context). With canCreate a missing span file whose base is
// `offset` is created on the owning device (or the next one that works).
// 0 / -1.
int findSISfile(SIShandle *handle, uint64_t offset, bool canCreate);
// Opens the SIS file `<device path><prefix><%016lX spanBase>` (device is
// the record's offset in the info file) with `openFlags` added (O_CREAT,
// O_EXCL for writers) and, while a file of size 0 is being created, waits
// for `lockOperation` on it. Checks an encryption token and sets up its
// decryption context. 0 / -1.
int openSISfile(SIShandle *handle, uint64_t device, const char *prefix, uint64_t spanBase,
                int openFlags, int lockOperation);
// Device record (offset in the info file) that owns the span with base
// spanBase: the hash entry with the smallest hash >= lookup3(spanBase),
// wrapping to the first. 0 when there are no entries (logged).
uint64_t SISownerDevice(SIShandle *handle, uint64_t spanBase);

// Takes an error snapshot of the log directory into
// errorSnapshots/<suffix>/ (hard links, then a background tar). 0 / -1.
int saveErrorSnapshot(const char *suffix);

// ---- Writer side --------------------------------------------------------

// Stores one block of `length` bytes at a newly allocated SIS offset: the
// block is put at the store's end (or at the next span base when it would
// not fit in the current span), its span file is created on the owning
// device when needed, and the end offset advances past it. With compress
// set the block is stored as an LZ4 legacy-frame block when that is
// smaller. Sets *offset and *compressedLength (the stored length including
// the frame header, or 0 when stored plain). Writers serialise on the info
// file's exclusive lock. 0 / -1.
int SISappendBlock(SIShandle *handle, const void *data, size_t length, bool compress,
                   uint64_t *offset, uint64_t *compressedLength);
// Creates the info file at its fixed path (with its directory) and sets
// the block size and span size (0 = the defaults) when it is still empty.
// 0 / -1; an info file that already holds a header is left as it is.
int SIScreateInfoFile(uint64_t blockSize, uint64_t fileSize);
// Adds a device directory to the info file (or updates its weight and
// deleted flag) and rebuilds the hash entries, as a catalogue scan does for
// one row, under the info file's exclusive lock. `path` is the device
// directory; the record gets "<path>/SIS/". For stores kept without a
// catalogue (tests, tools). 0 / -1.
int SISaddDevice(const char *path, uint32_t weight, bool deleted);

// The info file's path before sandboxing ("/backups/SISinfo"; settable).
extern char g_SISinfoPath[256];
