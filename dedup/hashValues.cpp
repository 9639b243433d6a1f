// hashValues.cpp: hash lists, hash counts and hash value lookups of the
// deduplication index, for the catalogue tables (generation 0) and the
// metadata store (generation 1).
#include "dedup/hashValues.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <unordered_set>
#include <vector>

#include "dedup/metadataSignals.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/platform_capabilites.h"
#include "lib/syspath.h"

// ---------------------------------------------------------------------------
// Generation, signals, small helpers.
// ---------------------------------------------------------------------------

static std::atomic<int> g_generation{-1};

int getMetadataGeneration() {
  int g = g_generation.load();
  if (g >= 0) return g;
  g = 0;
  if (platformSupportsDedupNT()) g = (int)iniGetInt("fileDedup", "MetadataGeneration", 0, g_master_ini);
  g_generation.store(g);
  return g;
}

void forgetMetadataGeneration() { g_generation.store(-1); }

int catchSignals() { return catchSignalsFor(CATCHER_HASH_LIST); }
int uncatchSignals() { return uncatchSignalsFor(CATCHER_HASH_LIST); }
int receivedSignal() { return signalReceivedFor(CATCHER_HASH_LIST); }

namespace {

class listSignalScope {
 public:
  explicit listSignalScope(const char *fn) : ok_(catchSignals() == 0) {
    if (!ok_) LOG(0, "%s(): Can't catch signals", fn);
  }
  ~listSignalScope() { uncatchSignals(); }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// Each set "in" bit becomes its "out" bit; in the reference flag word bit 0
// becomes bit 1 and bit 3 becomes bit 4.
void deliverRecord(HashListEntry *r) {
  uint8_t in = r->value.flags & HASH_IN_BITS;
  r->value.flags = uint8_t((r->value.flags & ~HASH_IN_BITS) | (in << 4));
  if (r->refFlags & REF_FLAG_GIVEN) r->refFlags = (r->refFlags & ~REF_FLAG_GIVEN) | REF_FLAG_GIVEN_OUT;
  if (r->refFlags & REF_FLAG_EXTRA) r->refFlags = (r->refFlags & ~REF_FLAG_EXTRA) | REF_FLAG_EXTRA_OUT;
}

PGconn *connectList() {
  char conninfo[256];
  int n = snprintf(conninfo, sizeof conninfo,
                   "service=localhost dbname=%s options='-c search_path=vx,public -c client_encoding=LATIN1'",
                   catalogueDbName());
  if (n < 0 || (size_t)n >= sizeof conninfo) {
    LOG(0, "Connection string too long.");
    return nullptr;
  }
  PGconn *c = PQconnectdb(conninfo);
  if (!c || PQstatus(c) != CONNECTION_OK) {
    LOG(0, "Can't connect to database");
    if (c) LOG(1, "%s", PQerrorMessage(c));
    PQfinish(c);
    return nullptr;
  }
  return c;
}

// Binary big-endian 8-byte integer of a result cell.
uint64_t be64(const char *p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v = (v << 8) | uint8_t(p[i]);
  return v;
}

pthread_mutex_t g_cursorMutex = PTHREAD_MUTEX_INITIALIZER;
unsigned long g_cursorCounter = 0;  // guarded by g_cursorMutex

}  // namespace

// ---------------------------------------------------------------------------
// Hash value lookups.
// ---------------------------------------------------------------------------

namespace {
constexpr size_t kBytesPerRecord = 416;
constexpr size_t kMaxRecords = 16384;
constexpr int kMaxParams = 32767;

// Column facts of vx.hash_values, read once per process.
struct columnFacts {
  int compressedLength = -1;  // 1 exists, 0 not, -1 unknown
  bool typesKnown = false;
  char hashValueType[64] = "";
};
columnFacts g_columns;
pthread_mutex_t g_columnsMutex = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

struct hashValuesPrivate {
  int generation = 0;
  PGconn *conn = nullptr;
  char *statement = nullptr;  // kBytesPerRecord * kMaxRecords, mapped once
  SIShashTable sisTable = {};
  metadataPrivate *metadata = nullptr;
};

void freeHashValuesPrivate(hashValuesPrivate *priv) {
  if (!priv) return;
  if (priv->conn) PQfinish(priv->conn);
  if (priv->statement) munmap(priv->statement, kBytesPerRecord * kMaxRecords);
  freeSIShashTable(&priv->sisTable);
  freeMetadataPrivate(&priv->metadata, 0);
  delete priv;
}

static PGconn *connectValues() {
  long tries = iniGetInt("fileDedup", "dbconnectTries", 3, g_master_ini);
  if (tries < 1) tries = 1;
  char conninfo[256];
  snprintf(conninfo, sizeof conninfo, "host=localhost dbname=%s sslmode=allow service=localhost", catalogueDbName());
  for (long t = 1; t <= tries; t++) {
    PGconn *c = PQconnectdb(conninfo);
    if (c && PQstatus(c) == CONNECTION_OK) return c;
    PQfinish(c);
    if (t < tries) {
      LOG(0, "Retrying connection (try %ld of %ld).", t + 1, tries);
      sleep(1);
    }
  }
  LOG(0, "ERROR: Exceeded retry count without making a connection.");
  return nullptr;
}

// Reads (once) whether compressed_length exists and the column types.
static int learnColumns(PGconn *conn) {
  pthread_mutex_lock(&g_columnsMutex);
  int rc = 0;
  if (g_columns.compressedLength < 0) {
    char q[512];
    snprintf(q, sizeof q,
             "SELECT column_name FROM information_schema.columns WHERE table_schema = lower('%s') AND "
             "table_name = lower('%s') AND column_name = lower('%s')",
             "vx", "hash_values", "compressed_length");
    PGresult *r = PQexec(conn, q);
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      LOG(0, "Can't get column '%s'", "compressed_length");
      rc = -1;
    } else {
      g_columns.compressedLength = PQntuples(r) > 0 ? 1 : 0;
      if (g_columns.compressedLength)
        LOG(3, "Found column '%s'", "compressed_length");
      else
        LOG(3, "Did not find column '%s'", "compressed_length");
    }
    PQclear(r);
  }
  if (rc == 0 && !g_columns.typesKnown) {
    PGresult *r = PQexec(conn,
                         "SELECT column_name, data_type FROM information_schema.columns WHERE (table_schema = 'vx') "
                         "AND (table_name = 'hash_values') AND (column_name IN ( SELECT 'hash_type' UNION ALL SELECT "
                         "'hashed_length' UNION ALL SELECT 'hash_value' UNION ALL SELECT 'sis_offset'))");
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      LOG(0, "Can't find column types");
      rc = -1;
    } else {
      bool seen[4] = {false, false, false, false};
      const char *names[4] = {"hash_type", "hashed_length", "hash_value", "sis_offset"};
      for (int i = 0; i < PQntuples(r); i++) {
        for (int k = 0; k < 4; k++) {
          if (strcmp(PQgetvalue(r, i, 0), names[k]) != 0) continue;
          seen[k] = true;
          if (k == 2) snprintf(g_columns.hashValueType, sizeof g_columns.hashValueType, "%s", PQgetvalue(r, i, 1));
        }
      }
      for (int k = 0; k < 4; k++) {
        if (!seen[k]) {
          LOG(0, "No type for %s", names[k]);
          rc = -1;
        }
      }
      if (rc == 0) g_columns.typesKnown = true;
    }
    PQclear(r);
  }
  pthread_mutex_unlock(&g_columnsMutex);
  return rc;
}

// Decodes one result row into the record it answers. 0 / -1.
static int decodeValueRow(PGresult *r, int row, HashValue *rec) {
  int len = PQgetlength(r, row, 0);
  if (len != 8) {
    LOG(0, "Query returned wrong length for hash ID: %d != %zd != %d", len, sizeof(uint64_t), 8);
    return -1;
  }
  rec->hashID = be64(PQgetvalue(r, row, 0));
  rec->flags |= hashID_out;
  if (!PQgetisnull(r, row, 2)) {
    len = PQgetlength(r, row, 2);
    if (len != 8) {
      LOG(0, "Query returned wrong length for SIS offset: %d != %zd != %d", len, sizeof(uint64_t), 8);
      return -1;
    }
    rec->SISoffset = be64(PQgetvalue(r, row, 2));
    rec->flags |= SISoffset_out;
  }
  if (PQgetisnull(r, row, 1) || PQgetisnull(r, row, 3) || PQgetisnull(r, row, 4)) return 0;
  len = PQgetlength(r, row, 1);
  if (len != 8) {
    LOG(0, "Query returned wrong length for hashed length: %d != %zd != %d", len, sizeof(uint64_t), 8);
    return -1;
  }
  rec->hashedLength = be64(PQgetvalue(r, row, 1));
  if (PQnfields(r) > 5 && !PQgetisnull(r, row, 5)) {
    len = PQgetlength(r, row, 5);
    if (len != 8) {
      LOG(0, "Query returned wrong length for compressed length: %d != %zd != %d", len, sizeof(uint64_t), 8);
      return -1;
    }
    rec->compressedLength = be64(PQgetvalue(r, row, 5));
  }
  len = PQgetlength(r, row, 3);
  if (len > 8) {
    LOG(0, "Query returned too long hash type: %d > %zd", len, sizeof rec->hashType);
    return -1;
  }
  char type[8] = {};
  memcpy(type, PQgetvalue(r, row, 3), len);
  int digest = hashTypeLength(type);
  if (!digest) {
    LOG(0, "Unknown hash type: %.*s", len, type);
    return -1;
  }
  len = PQgetlength(r, row, 4);
  if (len != digest) {
    LOG(0, "Query returned wrong hash length: %d != %d", len, digest);
    return -1;
  }
  memcpy(rec->hashType, type, 8);
  memcpy(rec->hashValue, PQgetvalue(r, row, 4), len);
  rec->flags |= hashValue_out;
  return 0;
}

// One batch of generation-0 lookups: records [0, count) given by pointer.
static int lookupBatch(hashValuesPrivate *p, std::vector<HashValue *> &recs) {
  const char *compressed = g_columns.compressedLength == 1 ? ", compressed_length" : "";
  size_t size = kBytesPerRecord * kMaxRecords, used = 0;
  std::vector<const char *> values;
  std::vector<int> lengths, formats;
  std::vector<HashValue *> asked;
  for (HashValue *rec : recs) {
    const char *sep = asked.empty() ? "" : "\nUNION ALL\n";
    int n;
    if (rec->flags & hashID_in) {
      n = snprintf(p->statement + used, size - used,
                   "%sSELECT hash_id, hashed_length, sis_offset, hash_type, hash_value%s FROM vx.hash_values WHERE "
                   "(hash_id = %lu)",
                   sep, compressed, (unsigned long)rec->hashID);
    } else {
      int digest = hashTypeLength(rec->hashType);
      values.push_back(reinterpret_cast<const char *>(rec->hashValue));
      lengths.push_back(digest);
      formats.push_back(1);
      n = snprintf(p->statement + used, size - used,
                   "%sSELECT hash_id, hashed_length, sis_offset, hash_type, hash_value%s FROM vx.hash_values WHERE "
                   "(hash_type = '%.8s') AND (hashed_length = %lu) AND (hash_value = $%d::%s)",
                   sep, compressed, rec->hashType, (unsigned long)rec->hashedLength, (int)values.size(),
                   g_columns.hashValueType);
    }
    if (n < 0 || (size_t)n >= size - used) {
      LOG(0, "Query too long for buffer");
      return -1;
    }
    used += n;
    asked.push_back(rec);
  }
  PGresult *r = PQexecParams(p->conn, p->statement, (int)values.size(), nullptr, values.data(), lengths.data(),
                             formats.data(), 1);
  if (PQresultStatus(r) != PGRES_TUPLES_OK) {
    LOG(0, "SELECT hash_values failed for %ld records\n  %s", (long)asked.size(), PQerrorMessage(p->conn));
    PQclear(r);
    return -1;
  }
  int rc = 0, unhandled = 0;
  for (int row = 0; row < PQntuples(r) && rc == 0; row++) {
    HashValue got = {};
    if (decodeValueRow(r, row, &got) != 0) {
      rc = -1;
      break;
    }
    bool matched = false;
    for (HashValue *rec : asked) {
      if (rec->flags & (hashID_out | hashValue_out)) continue;
      bool byID = (rec->flags & hashID_in) && rec->hashID == got.hashID;
      bool byValue = !(rec->flags & hashID_in) && (got.flags & hashValue_out) &&
                     memcmp(rec->hashType, got.hashType, 8) == 0 && rec->hashedLength == got.hashedLength &&
                     memcmp(rec->hashValue, got.hashValue, 64) == 0;
      if (!byID && !byValue) continue;
      uint8_t keep = rec->flags;
      uint64_t location = rec->locationID;
      *rec = got;
      rec->flags = uint8_t(keep | got.flags);
      rec->locationID = location;
      if (putSIShashTable(&p->sisTable, rec) != 0) {
        LOG(0, "Couldn't update hash %lu in in-memory hash table!", (unsigned long)rec->hashID);
        if (clearSIShashTable(&p->sisTable, rec) < 0)
          LOG(0, "Couldn't clear hash %lu in in-memory hash table!", (unsigned long)rec->hashID);
      }
      matched = true;
      break;
    }
    if (!matched) unhandled++;
  }
  if (unhandled) LOG(0, "%d query results not handled", unhandled);
  PQclear(r);
  return rc;
}

// Generation 0 on records given by pointer (a list's entries or a caller's
// array).
static int getHashValuesCatalogue(hashValuesPrivate *p, std::vector<HashValue *> &recs) {
  if (!p->conn) {
    p->conn = connectValues();
    if (!p->conn) return -1;
  }
  if (PQstatus(p->conn) != CONNECTION_OK) {
    LOG(0, "No database connection for our query");
    PQreset(p->conn);
    if (PQstatus(p->conn) != CONNECTION_OK) return -1;
  }
  if (learnColumns(p->conn) != 0) return -1;
  if (!p->statement) {
    void *a = mmap(nullptr, kBytesPerRecord * kMaxRecords, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (a == MAP_FAILED) {
      LOG(0, "getHashValues(%p, %d): %s", (void *)p, (int)recs.size(), strerror(errno));
      return -1;
    }
    p->statement = static_cast<char *>(a);
  }
  std::vector<HashValue *> batch;
  size_t bufferLeft = kBytesPerRecord * kMaxRecords;
  int params = 0;
  auto flush = [&]() -> int {
    int rc = batch.empty() ? 0 : lookupBatch(p, batch);
    batch.clear();
    bufferLeft = kBytesPerRecord * kMaxRecords;
    params = 0;
    return rc;
  };
  for (size_t i = 0; i < recs.size(); i++) {
    HashValue *rec = recs[i];
    if (receivedSignal()) return -1;
    if (getSIShashTable(&p->sisTable, rec) == 0) continue;
    if (!(rec->flags & hashID_in)) {
      if (!(rec->flags & hashValue_in)) continue;
      if (!hashTypeLength(rec->hashType)) {
        LOG(0, "Unknown hash type in entry %d: '%.*s'", (int)i, 8, rec->hashType);
        continue;
      }
      params++;
    }
    batch.push_back(rec);
    bufferLeft -= kBytesPerRecord;
    if (params >= kMaxParams - 1 || bufferLeft <= 256 + kBytesPerRecord || batch.size() >= kMaxRecords) {
      if (flush() != 0) return -1;
    }
  }
  return flush();
}

namespace {
int64_t mergeFirstReference(void *ctx, HashListEntry *ref, int, int) {
  HashValue *rec = static_cast<HashValue *>(ctx);
  rec->hashID = ref->value.hashID;
  rec->hashedLength = ref->value.hashedLength;
  memcpy(rec->hashType, ref->value.hashType, 8);
  memcpy(rec->hashValue, ref->value.hashValue, 64);
  rec->flags |= hashID_out | hashValue_out;
  if (ref->value.flags & SISoffset_out) {
    rec->SISoffset = ref->value.SISoffset;
    rec->compressedLength = ref->value.compressedLength;
    rec->flags |= SISoffset_out;
  }
  if (!rec->locationID && ref->value.locationID) {
    rec->locationID = ref->value.locationID;
    rec->flags |= locationID_out;
  }
  return -1;
}
}  // namespace

static int getHashValuesStore(hashValuesPrivate *p, std::vector<HashValue *> &recs) {
  for (size_t i = 0; i < recs.size(); i++) {
    HashValue *rec = recs[i];
    if (receivedSignal()) return -1;
    if (getSIShashTable(&p->sisTable, rec) == 0) continue;
    if (!(rec->flags & hashID_in)) {
      if (!(rec->flags & hashValue_in)) continue;
      if (!hashTypeLength(rec->hashType)) {
        LOG(0, "Unknown hash type in entry %d: '%.*s'", (int)i, 8, rec->hashType);
        continue;
      }
    }
    HashListEntry copy = {};
    copy.value = *rec;
    copy.value.flags &= HASH_IN_BITS;
    if (iterateReferencesToHash(&p->metadata, &copy, mergeFirstReference, rec) != 0) {
      LOG(0, "iterateReferencesToHash() failed");
      return -1;
    }
    // A hash without references is still completed from its detail.
    if ((copy.value.flags & hashID_out) && !(rec->flags & hashID_out)) {
      HashListEntry only = copy;
      mergeFirstReference(rec, &only, 0, 0);
    }
    putSIShashTable(&p->sisTable, rec);
  }
  return 0;
}

static int getHashValuesPtr(hashValuesPrivate **priv, std::vector<HashValue *> &recs) {
  int generation = getMetadataGeneration();
  if (generation != 0 && generation != 1) {
    LOG(0, "Invalid metadata generation: %d", generation);
    return -1;
  }
  if (!*priv) {
    *priv = new (std::nothrow) hashValuesPrivate;
    if (!*priv) return -1;
    (*priv)->generation = generation;
  }
  for (HashValue *rec : recs) rec->flags &= ~HASH_OUT_BITS;
  listSignalScope signals("getHashValues");
  if (!signals.ok()) return -1;
  return generation == 0 ? getHashValuesCatalogue(*priv, recs) : getHashValuesStore(*priv, recs);
}

int getHashValues(hashValuesPrivate **priv, HashValue *records, int count) {
  if (!priv || !records || count < 0) {
    LOG(0, "getHashValues(%p, %d): %s", (void *)priv, count, strerror(EINVAL));
    return -1;
  }
  std::vector<HashValue *> recs;
  for (int i = 0; i < count; i++) recs.push_back(&records[i]);
  return getHashValuesPtr(priv, recs);
}

// ---------------------------------------------------------------------------
// Hash lists.
// ---------------------------------------------------------------------------

int createHashList(hashListHandle **handle, uint64_t backupNo, const uint64_t *exclusions, int exclusionCount,
                   int distinct) {
  if (*handle) {
    LOG(0, "WARNING:  %s:handle already exists (%p).", __func__, (void *)*handle);
    return 0;
  }
  hashListHandle *h = static_cast<hashListHandle *>(calloc(1, sizeof(hashListHandle)));
  if (!h) {
    LOG(0, "Failed to allocate memory for handle");
    return -1;
  }
  h->backupNo = backupNo;
  h->distinct = distinct;
  h->restart = 1;
  if (exclusionCount > 0) {
    h->exclusions = static_cast<uint64_t *>(malloc(sizeof(uint64_t) * exclusionCount));
    if (!h->exclusions) {
      LOG(0, "Failed to allocate memory for handle exclusion list");
      free(h);
      return -1;
    }
    memcpy(h->exclusions, exclusions, sizeof(uint64_t) * exclusionCount);
    h->exclusionCount = exclusionCount;
  }
  h->generation = getMetadataGeneration();
  int rc = 0;
  if (h->generation == 0) {
    LOG(5, "Using postgres to create list");
    if (distinct != 0 && distinct != 1) {
      LOG(0, "Unknown distinct value:%d", distinct);
      rc = -1;
    }
    if (rc == 0) {
      h->conn = connectList();
      if (!h->conn) rc = -1;
    }
    if (rc == 0) {
      PGresult *r = PQexec(h->conn, "BEGIN");
      if (PQresultStatus(r) != PGRES_COMMAND_OK) {
        LOG(0, "BEGIN command failed: %s", PQerrorMessage(h->conn));
        rc = -1;
      }
      PQclear(r);
    }
    if (rc == 0) {
      pthread_mutex_lock(&g_cursorMutex);
      snprintf(h->cursorName, sizeof h->cursorName, "metaLeft%lu", g_cursorCounter++);
      pthread_mutex_unlock(&g_cursorMutex);
      size_t size = 448 + 128 * (size_t)exclusionCount;
      LOG(6, "builtQuerySize:%zd", size);
      std::vector<char> q(size);
      int n = snprintf(q.data(), size,
                       distinct ? "DECLARE %s SCROLL CURSOR WITH HOLD for SELECT DISTINCT ON (hash_id) * FROM "
                                  "vx.backups_hash_values WHERE (backup_no=%lu) AND (hash_incomplete='f') "
                                : "DECLARE %s SCROLL CURSOR WITH HOLD for SELECT * FROM vx.backups_hash_values "
                                  "WHERE (backup_no=%lu) AND (hash_incomplete='f') ",
                       h->cursorName, (unsigned long)backupNo);
      size_t used = n > 0 ? (size_t)n : size;
      for (int i = 0; i < exclusionCount && used < size; i++) {
        char inner[128];
        int m = snprintf(inner, sizeof inner,
                         "AND hash_id NOT IN (SELECT hash_id FROM vx.backups_hash_values WHERE backup_no=%lu) ",
                         (unsigned long)exclusions[i]);
        if (m < 0 || (size_t)m >= sizeof inner) {
          LOG(0, "Inner query too long for buffer");
          rc = -1;
          break;
        }
        used += snprintf(q.data() + used, size - used, "%s", inner);
      }
      // A distinct list keeps each hash's first occurrence (DISTINCT ON
      // takes the first row of each hash_id in this order).
      const char *tail = distinct ? "AND hash_id IS NOT NULL order by hash_id, file_offset"
                                  : "AND hash_id IS NOT NULL order by file_offset";
      if (rc == 0 && used + strlen(tail) < size) {
        strcat(q.data() + used, tail);
        LOG(4, "Final query before execution:\n%s\n", q.data());
        PGresult *r = PQexec(h->conn, q.data());
        if (PQresultStatus(r) != PGRES_COMMAND_OK) {
          LOG(0, "Error: failed database Query: %s", PQerrorMessage(h->conn));
          rc = -1;
        }
        PQclear(r);
      } else if (rc == 0) {
        LOG(0, "Query too long for buffer");
        rc = -1;
      }
    }
  } else if (h->generation == 1) {
    LOG(5, "Not using postgres to create list");
    if (distinct || exclusionCount > 0) {
      if (createBloomFilter(&h->bloom, BLOOM_FILTER_BYTES) != 0) {
        LOG(0, "Failed to create Bloom Filter.");
        rc = -1;
      }
      int64_t refs = rc == 0 ? getHashedBackupReferenceCount(&h->metadataHandle, backupNo) : -1;
      if (rc == 0 && refs < 0) {
        LOG(0, "Can't get reference count for backup %lu.", (unsigned long)backupNo);
        rc = -1;
      }
      if (rc == 0 && createDistinctTable(&h->distinctTable, (uint64_t)refs) != 0) {
        LOG(0, "Can't size and create distinct table.");
        rc = -1;
      }
    }
  } else {
    LOG(0, "Invalid metadata generation: %d", h->generation);
    rc = -1;
  }
  if (rc != 0) {
    LOG(0, "Failed to create internal hash value list");
    destroyHashList(&h);
    return -1;
  }
  *handle = h;
  return 0;
}

namespace {
struct fillContext {
  hashListHandle *h;
};

// Copies records while the caller's array has room.
int64_t fillMany(void *ctx, HashListEntry *rec, int, int) {
  hashListHandle *h = static_cast<fillContext *>(ctx)->h;
  h->records[h->filled++] = *rec;
  h->lastIndex = rec->location.fileOffset;
  if (h->filled >= h->capacity) return -1;
  return (int64_t)rec->location.fileOffset + 1;
}

struct oneContext {
  hashListHandle *h;
  HashListEntry rec;
};
int64_t takeOne(void *ctx, HashListEntry *rec, int, int) {
  oneContext *c = static_cast<oneContext *>(ctx);
  c->rec = *rec;
  c->h->cursorEOF = 0;
  return -1;
}

struct dropContext {
  hashListHandle *h;
  uint64_t position;
  bool drop;
};
// Drops the hash when a reference is an earlier occurrence in the same
// backup (that occurrence was delivered or left out already) or belongs to
// an excluded backup.
int64_t judgeReference(void *ctx, HashListEntry *ref, int, int) {
  dropContext *c = static_cast<dropContext *>(ctx);
  hashListHandle *h = c->h;
  if (ref->location.backupNo == h->backupNo && ref->location.fileOffset < c->position) {
    c->drop = true;
    return -1;
  }
  for (int i = h->exclusionCount - 1; i >= 0; i--) {
    if (h->exclusions[i] == ref->location.backupNo) {
      c->drop = true;
      return -1;
    }
  }
  return 0;
}
}  // namespace

static long fetchCatalogue(hashListHandle *h) {
  int empties = 0;
  while (h->filled < h->capacity) {
    if (receivedSignal()) return -1;
    char q[128];
    snprintf(q, sizeof q, "FETCH FORWARD %lu FROM %s", (unsigned long)(h->capacity - h->filled), h->cursorName);
    PGresult *r = PQexec(h->conn, q);
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      LOG(0, "Error: failed database Query, backup not hashed?");
      PQclear(r);
      return -1;
    }
    int rows = PQntuples(r);
    int cID = PQfnumber(r, "hash_id"), cOff = PQfnumber(r, "file_offset"), cDedup = PQfnumber(r, "deduplicated");
    for (int i = 0; i < rows; i++) {
      HashListEntry &e = h->records[h->filled++];
      memset(&e, 0, sizeof e);
      e.value.hashID = strtoull(PQgetvalue(r, i, cID), nullptr, 10);
      e.value.flags = hashID_in;
      e.location.backupNo = h->backupNo;
      e.location.fileOffset = strtoull(PQgetvalue(r, i, cOff), nullptr, 10);
      e.refFlags = REF_FLAG_GIVEN | REF_FLAG_EXTRA | (cDedup >= 0 && PQgetisnull(r, i, cDedup) ? uint64_t(REF_FLAG_IN_FILE) : uint64_t(0));
    }
    PQclear(r);
    if (rows == 0) {
      if (++empties >= 2) break;
    } else {
      empties = 0;
    }
  }
  if (h->filled == 0) return 0;
  std::vector<HashValue *> recs;
  for (long i = 0; i < h->filled; i++) recs.push_back(&h->records[i].value);
  if (getHashValuesPtr(&h->values, recs) != 0) {
    LOG(0, "Failed getHashValues_hri");
    return -1;
  }
  return h->filled;
}

static long fetchStore(hashListHandle *h) {
  if (!h->distinct && h->exclusionCount == 0) {
    fillContext ctx = {h};
    uint64_t start = h->restart ? 0 : h->lastIndex + 1;
    int rc = iterateHashesInBackup(&h->metadataHandle, h->backupNo, start, 0, fillMany, &ctx);
    if (rc != 0) {
      LOG(0, "Failed iterateHashesInBackup. Returned:%ld", (long)rc);
      return -1;
    }
    return h->filled;
  }
  while (h->filled < h->capacity) {
    if (receivedSignal()) return -1;
    oneContext one = {h, {}};
    h->cursorEOF = 1;
    uint64_t start = h->restart ? 0 : h->lastIndex + 1;
    int rc = iterateHashesInBackup(&h->metadataHandle, h->backupNo, start, 0, takeOne, &one);
    if (rc != 0) {
      LOG(0, "Failed iterateHashesInBackup. Returned:%ld", (long)rc);
      return -1;
    }
    LOG(6, "cursorEOF:%d", h->cursorEOF);
    if (h->cursorEOF) break;
    h->restart = 0;
    h->lastIndex = one.rec.location.fileOffset;
    // Both a distinct list and an exclusion list deliver each hash once:
    // a hash the distinct table holds was delivered or left out already.
    // Without exclusions, a hash certainly not seen before is delivered at
    // once; every other case is decided by the hash's references.
    int bloomWasSet = bloomTestAndSet(&h->bloom, &one.rec.value);
    int seen = distinctLookup(h->distinctTable, distinctKey(one.rec.value.hashID));
    if (seen == 1) continue;
    if ((seen == 0 || bloomWasSet == 0) && h->exclusionCount == 0) {
      h->records[h->filled++] = one.rec;
      continue;
    }
    dropContext judge = {h, one.rec.location.fileOffset, false};
    HashListEntry probe = one.rec;
    probe.value.flags = hashID_in;
    rc = iterateReferencesToHash(&h->metadataHandle, &probe, judgeReference, &judge);
    if (rc != 0) {
      LOG(0, "Failed iterateReferencesToHash. Returned:%ld", (long)rc);
      return -1;
    }
    if (!judge.drop) h->records[h->filled++] = one.rec;
  }
  return h->filled;
}

long getHashesFromList(hashListHandle **handle, HashListEntry *records, long capacity) {
  if (!handle || !*handle) {
    LOG(0, "No handle passed in");
    return -1;
  }
  hashListHandle *h = *handle;
  listSignalScope signals("getHashesFromList");
  if (!signals.ok()) return -1;
  h->records = records;
  h->capacity = capacity;
  h->filled = 0;
  long n;
  if (h->generation == 0) {
    n = fetchCatalogue(h);
  } else if (h->generation == 1) {
    n = fetchStore(h);
    h->restart = 0;
  } else {
    LOG(0, "Unknown meta data version.");
    n = -1;
  }
  if (n > 0)
    for (long i = 0; i < n; i++) deliverRecord(&records[i]);
  h->records = nullptr;
  return n;
}

void destroyHashList(hashListHandle **handle) {
  if (!handle || !*handle) return;
  hashListHandle *h = *handle;
  if (h->conn) {
    char q[64];
    if (h->cursorName[0] && snprintf(q, sizeof q, "CLOSE %s", h->cursorName) < (int)sizeof q) {
      PQclear(PQexec(h->conn, q));
    } else if (h->cursorName[0]) {
      LOG(0, "Query too long for buffer");
    }
    PQclear(PQexec(h->conn, "END"));
    PQfinish(h->conn);
    LOG(6, "close cursor for getting hashes.");
  }
  if (h->generation == 1) {
    LOG(4, "Close database connection for list library");
    if (h->bloom.bits) freeBloomFilter(&h->bloom);
    if (h->distinctTable) logDistinctTableStats(h->distinctTable);
    freeDistinctTable(&h->distinctTable);
    freeMetadataPrivate(&h->metadataHandle, 0);
  }
  freeHashValuesPrivate(h->values);
  free(h->exclusions);
  free(h);
  *handle = nullptr;
}

// ---------------------------------------------------------------------------
// Counting.
// ---------------------------------------------------------------------------

namespace {
struct countContext {
  std::unordered_set<uint64_t> ids;
};
int64_t countDistinct(void *ctx, HashListEntry *rec, int, int) {
  static_cast<countContext *>(ctx)->ids.insert(rec->value.hashID);
  return (int64_t)rec->location.fileOffset + 1;
}
}  // namespace

long countHashesInBackup(uint64_t backupNo, int distinct) {
  if (backupNo == 0) {
    LOG(0, "Invalid backup number");
    return -1;
  }
  int generation = getMetadataGeneration();
  if (generation == 0) {
    PGconn *c = connectList();
    if (!c) return -1;
    char q[256];
    snprintf(q, sizeof q,
             distinct ? "SELECT count(distinct hash_id) FROM vx.backups_hash_values WHERE backup_no=%ld"
                      : "SELECT count(hash_id) FROM vx.backups_hash_values WHERE backup_no=%ld",
             (long)backupNo);
    PGresult *r = PQexec(c, q);
    long count = -1;
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1) count = atol(PQgetvalue(r, 0, 0));
    else LOG(0, "Error: failed database Query: %s", PQerrorMessage(c));
    PQclear(r);
    PQfinish(c);
    LOG(6, "Count:%ld", count);
    return count;
  }
  if (generation != 1) {
    LOG(0, "Invalid metadata generation: %d", generation);
    return -1;
  }
  metadataPrivate *m = nullptr;
  long count;
  if (!distinct) {
    count = (long)getHashedBackupReferenceCount(&m, backupNo);
  } else {
    // Each hash counts once: the set of hash IDs met in one walk gives the
    // same answer as asking each hash for an earlier occurrence.
    countContext ctx;
    int rc = iterateHashesInBackup(&m, backupNo, 0, 0, countDistinct, &ctx);
    if (rc != 0) LOG(0, "Failed iterateHashesInBackup. Return value:%ld", (long)rc);
    count = rc == 0 ? (long)ctx.ids.size() : -1;
  }
  freeMetadataPrivate(&m, 0);
  return count;
}
