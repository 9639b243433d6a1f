// fileDedup.cpp: the appliance stand-in that hashes a backup into the
// deduplication index.
//
// usage: fileDedup -H<backup> [-f] [-s | -S]
//   -H<backup>  the backup to hash ("-H 12" works too)
//   -f          hash again even when the backup is already hashed
//   -s / -S     move (or do not move) the blocks' data into the single
//               instance store; the default is master.ini [fileDedup]
//               moveToSIS (boolean, default false). [fileDedup] compressSIS
//               (default true) stores moved blocks LZ4-compressed when that
//               is smaller.
// Exit status: 0 the backup is hashed; 3 the backup is locked (its archive
// is held exclusively by a writer, or its lock marker "backup_N.lock"
// exists next to the archive), try again later; 1 any failure; 2 usage.
//
// The backup's archive is read as its decoded byte stream and cut into
// blocks (tar file contents up to the sub-file limit, or fixed image
// blocks; see appliance/standin/blocks.cpp). Each block's SHA-512 goes into
// the index of the configured metadata generation: 0 = the catalogue tables
// vx.hash_values (one row per distinct block) and vx.backups_hash_values
// (one row per block of the backup, by file offset); 1 = the on-disk
// metadata store. Hashing again first removes the backup's old entries.
// Moved blocks get an SIS offset (and compressed length) on their hash and
// their occurrences count as deduplicated. Finally the backup's properties
// get the hashed bits (1536).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "appliance/standin/standin.h"
#include "dedup/hashValues.h"
#include "dedup/metadata.h"
#include "lib/config.h"
#include "lib/handles.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "store/SIS.h"

using namespace standin;

namespace {

constexpr int EXIT_HASHED = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_LOCKED = 3;

void usage() { fprintf(stderr, "usage: fileDedup -H<backup> [-f] [-s | -S]\n"); }

std::string hexOf(const uint8_t *p, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; i++) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

// Where a distinct block's data lies in the SIS (when moved).
struct Placed {
  uint64_t hashID = 0;
  bool inSIS = false;
  uint64_t SISoffset = 0;
  uint64_t compressedLength = 0;
};

// Writes the blocks of one backup into the index of one generation.
class IndexWriter {
 public:
  IndexWriter(uint64_t backupNo, SIShandle *sis, bool compress) : backupNo_(backupNo), sis_(sis), compress_(compress) {}
  virtual ~IndexWriter() = default;
  virtual int begin() = 0;
  virtual int add(const Block &b, const uint8_t *data) = 0;
  virtual int finish() = 0;
  virtual void abort() = 0;

 protected:
  // Stores the block in the SIS. 0 / -1.
  int moveToSIS(const Block &b, const uint8_t *data, Placed *p) {
    if (SISappendBlock(sis_, data, b.length, compress_, &p->SISoffset, &p->compressedLength) != 0) {
      LOG(0, "Can't store the block at 0x%lX in the single instance store", static_cast<unsigned long>(b.offset));
      return -1;
    }
    p->inSIS = true;
    return 0;
  }
  uint64_t backupNo_;
  SIShandle *sis_;
  bool compress_;
  std::map<std::string, Placed> seen_;  // digest+length -> placement
};

// Generation 0: the catalogue tables, in one transaction. hash_values is
// locked against other writers so that a block gets exactly one row.
class CatalogueIndexWriter : public IndexWriter {
 public:
  using IndexWriter::IndexWriter;
  int begin() override {
    if (pgBegin() != 0) return -1;
    PgResultPtr l(pgQuery("LOCK TABLE vx.hash_values IN SHARE ROW EXCLUSIVE MODE"));
    PgResultPtr d(pgQuery("DELETE FROM vx.backups_hash_values WHERE backup_no = %lu",
                          static_cast<unsigned long>(backupNo_)));
    return l && d ? 0 : -1;
  }
  int add(const Block &b, const uint8_t *data) override {
    std::string hex = hexOf(b.digest, 64);
    std::string key = hex + ":" + std::to_string(b.length);
    auto it = seen_.find(key);
    if (it == seen_.end()) {
      Placed p;
      if (place(b, data, hex, &p) != 0) return -1;
      it = seen_.emplace(key, p).first;
    }
    const Placed &p = it->second;
    PgResultPtr r(p.inSIS ? pgQuery("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id, "
                                    "deduplicated, hash_incomplete) VALUES (%lu, %lu, %lu, true, false)",
                                    static_cast<unsigned long>(backupNo_), static_cast<unsigned long>(b.offset),
                                    static_cast<unsigned long>(p.hashID))
                          : pgQuery("INSERT INTO vx.backups_hash_values (backup_no, file_offset, hash_id, "
                                    "deduplicated, hash_incomplete) VALUES (%lu, %lu, %lu, NULL, false)",
                                    static_cast<unsigned long>(backupNo_), static_cast<unsigned long>(b.offset),
                                    static_cast<unsigned long>(p.hashID)));
    return r ? 0 : -1;
  }
  int finish() override { return pgCommit(); }
  void abort() override {
    if (pgInTransaction()) pgRollback();
  }

 private:
  // Finds or makes the block's hash_values row (moving its data into the
  // SIS when asked and not there yet).
  int place(const Block &b, const uint8_t *data, const std::string &hex, Placed *p) {
    PgResultPtr r(pgQuery("SELECT hash_id, sis_offset, compressed_length FROM vx.hash_values WHERE hash_type = "
                          "'sha512' AND hashed_length = %lu AND hash_value = decode(%s, 'hex') ORDER BY hash_id "
                          "LIMIT 1",
                          static_cast<unsigned long>(b.length), hex.c_str()));
    if (!r) return -1;
    if (pgTuples(r.get()) > 0) {
      p->hashID = pgULVal(r.get(), 0, "hash_id");
      if (!pgIsNull(r.get(), 0, "sis_offset")) {
        p->inSIS = true;
        p->SISoffset = pgULVal(r.get(), 0, "sis_offset");
        return 0;
      }
      if (!sis_) return 0;
      if (moveToSIS(b, data, p) != 0) return -1;
      PgResultPtr u(pgQuery("UPDATE vx.hash_values SET sis_offset = %lu, compressed_length = %lu WHERE hash_id = %lu",
                            static_cast<unsigned long>(p->SISoffset), static_cast<unsigned long>(p->compressedLength),
                            static_cast<unsigned long>(p->hashID)));
      return u ? 0 : -1;
    }
    if (sis_ && moveToSIS(b, data, p) != 0) return -1;
    PgResultPtr i(p->inSIS ? pgQuery("INSERT INTO vx.hash_values (hash_type, hashed_length, hash_value, sis_offset, "
                                     "compressed_length) VALUES ('sha512', %lu, decode(%s, 'hex'), %lu, %lu) "
                                     "RETURNING hash_id",
                                     static_cast<unsigned long>(b.length), hex.c_str(),
                                     static_cast<unsigned long>(p->SISoffset),
                                     static_cast<unsigned long>(p->compressedLength))
                           : pgQuery("INSERT INTO vx.hash_values (hash_type, hashed_length, hash_value) VALUES "
                                     "('sha512', %lu, decode(%s, 'hex')) RETURNING hash_id",
                                     static_cast<unsigned long>(b.length), hex.c_str()));
    if (!i || pgTuples(i.get()) < 1) return -1;
    p->hashID = pgULVal(i.get(), 0, "hash_id");
    return 0;
  }
};

// Generation 1: the metadata store.
class StoreIndexWriter : public IndexWriter {
 public:
  using IndexWriter::IndexWriter;
  ~StoreIndexWriter() override {
    if (values_) freeHashValuesPrivate(values_);
    if (handle_) freeMetadataPrivate(&handle_, 0);
  }
  int begin() override {
    handle_ = allocateMetadataPrivate(0);
    if (!handle_) return -1;
    if (freeHashedBackup(&handle_, backupNo_) != 0) return -1;
    return addHashedBackup(&handle_, backupNo_) > 0 ? 0 : -1;
  }
  int add(const Block &b, const uint8_t *data) override {
    HashListEntry e;
    memset(&e, 0, sizeof e);
    memcpy(e.value.hashType, "sha512", 6);
    e.value.hashedLength = b.length;
    memcpy(e.value.hashValue, b.digest, 64);
    e.value.flags = hashValue_in;
    e.location.backupNo = backupNo_;
    e.location.fileOffset = b.offset;
    e.refOccurrence = 0;
    e.refFlags = REF_FLAG_IN_FILE;
    if (sis_) {
      std::string key = hexOf(b.digest, 64) + ":" + std::to_string(b.length);
      auto it = seen_.find(key);
      if (it == seen_.end()) {
        Placed p;
        if (lookupSIS(e.value, &p) != 0) return -1;
        if (!p.inSIS && moveToSIS(b, data, &p) != 0) return -1;
        it = seen_.emplace(key, p).first;
      }
      e.value.SISoffset = it->second.SISoffset;
      e.value.compressedLength = it->second.compressedLength;
      e.value.flags |= SISoffset_in;
      e.refFlags = 0;  // deduplicated: read from the SIS from now on
    }
    return addHashToBackup(&handle_, backupNo_, &e);
  }
  int finish() override { return 0; }
  void abort() override {
    if (handle_) freeHashedBackup(&handle_, backupNo_);
  }

 private:
  // Whether the store already keeps this hash's data in the SIS.
  int lookupSIS(const HashValue &v, Placed *p) {
    HashValue q = v;
    if (getHashValues(&values_, &q, 1) != 0) return -1;
    if (q.flags & SISoffset_out) {
      p->inSIS = true;
      p->SISoffset = q.SISoffset;
      p->compressedLength = q.compressedLength;
    }
    return 0;
  }
  metadataPrivate *handle_ = nullptr;
  hashValuesPrivate *values_ = nullptr;
};

bool configuredBool(const char *key, bool def) {
  uint8_t v = def;
  if (g_master_ini[0]) iniGetBool("fileDedup", key, def, &v, g_master_ini);
  return v != 0;
}

}  // namespace

int main(int argc, char **argv) {
  initStandin("fileDedup");
  uint64_t backupNo = 0;
  bool force = false;
  int move = -1;
  int c;
  while ((c = getopt(argc, argv, "H:fsS")) != -1) {
    char *end = nullptr;
    switch (c) {
      case 'H':
        backupNo = strtoull(optarg, &end, 10);
        if (*end || backupNo == 0) {
          usage();
          return EXIT_USAGE;
        }
        break;
      case 'f': force = true; break;
      case 's': move = 1; break;
      case 'S': move = 0; break;
      default: usage(); return EXIT_USAGE;
    }
  }
  if (backupNo == 0 || optind != argc) {
    usage();
    return EXIT_USAGE;
  }
  if (move < 0) move = configuredBool("moveToSIS", false);

  BackupInfo info;
  int found = lookupBackup(backupNo, &info);
  if (found != 0) {
    LOG(0, "Backup %lu %s", static_cast<unsigned long>(backupNo), found > 0 ? "not found" : "lookup failed");
    return EXIT_FAILED;
  }
  if ((info.properties & PROP_HASHED) && !force) {
    LOG(1, "Backup %lu is already hashed", static_cast<unsigned long>(backupNo));
    return EXIT_HASHED;
  }
  std::string path = findArchive(info);
  if (path.empty()) {
    LOG(0, "No archive file for backup %lu", static_cast<unsigned long>(backupNo));
    return EXIT_FAILED;
  }
  std::string dir = path.substr(0, path.rfind('/'));
  if (access(lockMarkerPath(backupNo, dir).c_str(), F_OK) == 0) {
    LOG(1, "Backup %lu is locked (lock marker)", static_cast<unsigned long>(backupNo));
    return EXIT_LOCKED;
  }
  // The shared lock keeps writers out while the archive is hashed; a
  // writer holding it exclusively means the backup is still being written.
  UniqueFd lockFd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!lockFd || flock(lockFd.get(), LOCK_SH | LOCK_NB) != 0) {
    if (lockFd && errno == EWOULDBLOCK) {
      LOG(1, "Backup %lu is locked", static_cast<unsigned long>(backupNo));
      return EXIT_LOCKED;
    }
    LOG(0, "Can't open and lock %s: %s", path.c_str(), strerror(errno));
    return EXIT_FAILED;
  }

  int generation = getMetadataGeneration();
  if (generation != 0 && generation != 1) {
    LOG(0, "Invalid metadata generation: %d", generation);
    return EXIT_FAILED;
  }
  SIShandle *sis = nullptr;
  if (move) {
    sis = openSIS();
    if (!sis) {
      LOG(0, "Can't open the single instance store");
      return EXIT_FAILED;
    }
  }
  bool compress = configuredBool("compressSIS", true);
  std::unique_ptr<IndexWriter> index;
  if (generation == 0)
    index = std::make_unique<CatalogueIndexWriter>(backupNo, sis, compress);
  else
    index = std::make_unique<StoreIndexWriter>(backupNo, sis, compress);

  ArchiveReader reader;
  uint64_t blocks = 0;
  int rc = reader.open(path, info.properties);
  if (rc == 0) rc = index->begin();
  if (rc == 0)
    rc = cutBlocks(reader, cutRuleFor(info.type, info.properties), [&](const Block &b, const uint8_t *data) {
      blocks++;
      return index->add(b, data);
    });
  if (rc == 0) rc = index->finish();
  if (rc != 0) {
    index->abort();
    index.reset();
    if (sis) freeSIS(sis);
    LOG(0, "Failed to hash backup %lu", static_cast<unsigned long>(backupNo));
    return EXIT_FAILED;
  }
  index.reset();
  if (sis) freeSIS(sis);
  PgResultPtr u(pgQuery("UPDATE vx.backups SET properties = properties | %lu WHERE backup_no = %lu",
                        static_cast<unsigned long>(PROP_HASHED), static_cast<unsigned long>(backupNo)));
  if (!u) return EXIT_FAILED;
  LOG(1, "Backup %lu hashed: %lu blocks", static_cast<unsigned long>(backupNo), static_cast<unsigned long>(blocks));
  return EXIT_HASHED;
}
