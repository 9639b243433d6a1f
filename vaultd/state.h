// state.h: what the Vault stand-in holds, kept on disk in its state directory.
//
// The Vault holds blocks, content-addressed by name, and backups. Each
// backup has the number the Vault gave it, its identity (UBI), the status
// and properties bits that the backup check reports, the block references
// that the client announced for it (file offset -> block), and once the
// HaCTAR has arrived, the HaCTAR from which the backup is built.
//
// Layout of the state directory (everything survives a restart):
//   blocks/pack-<n>                    block data, appended; each writer
//                                      appends to a pack of its own, taken
//                                      from a pool when it needs one
//   blocks/index                       appended 96-byte records, one per
//                                      stored block: hash type 8, hashed
//                                      length u64, hash value 64, pack u64,
//                                      offset in the pack u64 (LE); written
//                                      after the data, and a record whose
//                                      data is not wholly in its pack is
//                                      ignored at start
//   backups/<no>/info                  text, "key value" per line (rewritten
//                                      atomically on every change)
//   backups/<no>/metadata.xml          the start-backup document
//   backups/<no>/refs                  appended 88-byte reference records:
//                                      offset u64, hash type 8, hashed
//                                      length u64, hash value 64 (LE)
//   backups/<no>/hactar                the HaCTAR (vaultd/hactar.h)
//   tmp/                               partial uploads, emptied at start
//   next_number                        the next backup number to give out
//
// Blocks go into packs rather than a file each: a file per block makes
// the file system allocate an inode per block, which costs more than the
// data itself once a store holds many thousands of blocks.
//
// Concurrency: one mutex (VaultState::lock) guards every in-memory field.
// Block data is hashed and appended to the writer's own pack outside the
// lock; only the index record and the bookkeeping happen under it.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// Status bits reported by the backup check.
constexpr uint64_t VAULT_STATUS_BUILDING = 0x200;
constexpr uint64_t VAULT_STATUS_COMPLETE = 0x440;
constexpr uint64_t VAULT_STATUS_FAILED = 0x1000;
constexpr uint64_t VAULT_STATUS_CANCELLED = 0x8000;
// Properties bits: the Vault has hashed (indexed) the backup's blocks.
constexpr uint64_t VAULT_PROPERTY_HASHED = 0x600;

// Identity of one block: hash type, hashed length and 64-byte hash value.
struct BlockKey {
  char hashType[8] = {};
  uint64_t hashedLength = 0;
  uint8_t hashValue[64] = {};
  bool operator==(const BlockKey &o) const;
};
struct BlockKeyHash {
  size_t operator()(const BlockKey &k) const;
};

// "b-%s-%lu-%s" with the 128 upper-case hex digits of the hash value.
std::string blockKeyName(const BlockKey &key);
// Parses a block name strictly: "b", hash type (1..8 characters), decimal
// length, exactly 128 hex digits. 0 or -1.
int parseBlockKeyName(const char *name, BlockKey *key);

// One backup held by the Vault. Fields are guarded by VaultState::lock.
struct VaultBackup {
  long number = 0;
  std::string ubi;           // "%s_%lu_%lu": instance identity, start, type
  std::string instance;      // instance identity (lower case)
  uint64_t startTime = 0;
  uint64_t type = 0;
  uint64_t status = 0;
  uint64_t properties = 0;
  uint64_t reserveSize = 0;
  std::string source;        // systems/name of the document
  std::string endMessage;    // message of the last end-backup, if any
  bool hactarReceived = false;
  uint64_t archiveLength = 0;  // of the built backup
  int buildPolls = 0;        // backup checks still answered "building"
  std::map<uint64_t, uint32_t> refs;  // file offset -> block id
  uint64_t heldRefs = 0;     // references whose block is held
};

// Where a held block's data lies: pack number and offset in it.
struct BlockPlace {
  uint64_t pack = 0;
  uint64_t offset = 0;
};

// A pack open for appending; `length` is where the next block goes.
struct PackFile {
  uint64_t number = 0;
  int fd = -1;
  uint64_t length = 0;
};

// How a build should end, for fault injection; Normal = by the blocks held.
enum class BuildOutcome { Normal, Fail, Cancel };

// Hook through which a start-backup document is imported into a catalogue.
// Same contract as the catalogue import: 0 with the new backup number, or
// -1; a -1 with the number set to -1 means the backup is out of order.
using VaultImportFunction = int (*)(const char *document, long device, long *backupNo,
                                    int markFlag);

struct VaultState {
  std::mutex lock;  // guards every field below
  std::string dir;
  long nextNumber = 1;
  bool orderCheck = true;          // refuse out-of-order backups (no catalogue)
  // Check each arriving block's SHA-512 against its name. Off (--trust-hashes)
  // the Vault takes the client's word for it, as a content store fed by a
  // trusted appliance may; the length is checked either way.
  bool checkBlockHashes = true;
  VaultImportFunction importFn = nullptr;  // set: import each document
  long importDevice = 0;
  std::vector<BlockKey> blocks;    // block id -> key
  std::vector<uint8_t> held;       // block id -> 1 when its data is on disk
  std::vector<BlockPlace> places;  // block id -> where its data is (when held)
  int indexFd = -1;                // blocks/index, appended under the lock
  uint64_t nextPack = 1;           // number of the next pack to create
  std::vector<PackFile> idlePacks; // packs no writer holds, to append to
  std::unordered_map<BlockKey, uint32_t, BlockKeyHash> ids;
  // Block id -> (backup, offset) references waiting for that block.
  std::unordered_map<uint32_t, std::vector<std::pair<long, uint64_t>>> waiting;
  std::map<long, VaultBackup> backups;
  uint64_t tmpSerial = 0;
};

extern VaultState g_vault;

// Opens (creating when needed) the state directory and loads what it
// holds; `firstNumber` is used only when no backup was ever numbered.
// With `readOnly` nothing is created or cleaned up, so a running server's
// state can be read by another process (export). 0 or -1 (logged).
int vaultOpen(const char *dir, long firstNumber, bool readOnly = false);

// start-backup: takes the metadata document. Returns 0 with the new
// backup's number, -5 when the backup is out of order (and `force` is not
// set), -6 when the document is refused. With `force`, later backups of
// the same instance are marked failed and the backup is accepted.
int vaultStartBackup(const std::string &document, uint64_t reserveSize, bool force,
                     long *number);

// backup-check: by number when `number` > 0, else by identity (the newest
// backup with that UBI). Returns the backup's number with its status and
// properties; 0 (status 0) for an unknown identity; -1 for an unknown
// number.
long vaultCheckBackup(const std::string &ubi, long number, uint64_t *status,
                      uint64_t *properties);

// end-backup: marks the newest backup with that identity cancelled (when
// the message starts "backup operation terminated") or failed, unless it
// is already complete, failed or cancelled. 0 when a backup was marked, 1
// when there was nothing to do.
int vaultEndBackup(const std::string &ubi, const std::string &message);

// post-check-offset: `n` 88-byte entries; fills `answer` with one byte per
// entry ('1' = held, '0' = not) and records each entry as a reference of
// the backup when `backup` > 0 and known. 0, or -1 for a malformed body.
int vaultCheckOffsets(long backup, const uint8_t *body, size_t n, std::string *answer);

// backup-block-count: distinct file offsets referenced by the backup whose
// block is held; for backup 0 the number of blocks held.
uint64_t vaultBlockCount(long backup);

// Records one reference (backup, file offset, block); no-op for unknown
// backups.
void vaultAddReference(long backup, uint64_t offset, const BlockKey &key);

// Whether the block is held.
bool vaultHasBlock(const BlockKey &key);

// Receives blocks' data in pieces, hashing it (unless the Vault trusts
// block hashes) and appending it to a pack the sink holds until it is
// destroyed; commit() checks length and SHA-512 against the key and
// records the block, abort() or a refused block takes the bytes back off
// the pack. Not shared between threads.
class BlockSink {
 public:
  BlockSink() = default;
  BlockSink(const BlockSink &) = delete;
  BlockSink &operator=(const BlockSink &) = delete;
  ~BlockSink();
  // 0 or -1 (reason in error()).
  int begin(const BlockKey &key, bool discard);
  int write(const uint8_t *data, size_t n);
  // 0 = stored (or already held), -1 = refused (reason in error()).
  int commit();
  void abort();
  uint64_t received() const { return received_; }
  const std::string &error() const { return error_; }

 private:
  void dropData();  // truncates the pack back to where this block began
  BlockKey key_;
  EVP_MD_CTX *md_ = nullptr;  // null when the Vault trusts block hashes
  bool active_ = false;       // between begin() and commit()/abort()
  bool writing_ = false;      // this block's data goes into pack_
  PackFile pack_;             // fd -1 until a block needs writing
  uint64_t start_ = 0;        // offset of this block in pack_
  uint64_t received_ = 0;
  bool discard_ = false;  // hash only, keep nothing (fault "lose")
  std::string error_;
};

// A temporary file path under the state directory (unique per call).
std::string vaultTempPath();

// Takes the HaCTAR (moved from `tmpPath`) of a backup and builds the
// backup: complete when the HaCTAR is valid and every block it refers to
// is held, failed otherwise (or as `outcome` forces). `waitPolls` backup
// checks will still answer "building". 0, or -1 for an unknown backup or
// one already failed or cancelled.
int vaultReceiveHactar(long backup, const std::string &tmpPath, BuildOutcome outcome,
                       int waitPolls);

// Writes the rebuilt byte stream of a complete backup to `out` (a path, or
// "-" for standard output). 0 or -1 (logged).
int vaultExport(long backup, const char *out);

// One text line per field of a backup ("number 3\nubi ...\n"), empty when
// unknown; for tests and the control interface.
std::string vaultDescribe(long backup);
