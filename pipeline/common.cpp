// common.cpp: block names, hex helpers, the tuple hash and the small
// catalogue lookups about one backup that the worker and the senders share.
#include "pipeline/common.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/time.h>
#include <unistd.h>

#include "dedup/backupTypes.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "queue/progress.h"


namespace {

// The level up to which messages are written, as the logger applies it:
// 200 switches logging off, 100..199 mean the level minus 100.
int debugLevel() {
  if (log_level >= 200) return -1;
  if (log_level >= 100) return log_level - 100;
  return log_level;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

size_t hashDigestLength(const char *hashType) {
  if (hashType && strncmp(hashType, "sha512", HASH_TYPE_SIZE) == 0) return 64;
  return 0;
}

int blockName(const HashValue *record, char *out, size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  char hex[2 * HASH_VALUE_SIZE + 1];
  for (size_t i = 0; i < HASH_VALUE_SIZE; i++) {
    hex[2 * i] = digits[record->hashValue[i] >> 4];
    hex[2 * i + 1] = digits[record->hashValue[i] & 0xF];
  }
  hex[2 * HASH_VALUE_SIZE] = '\0';
  int n = snprintf(out, size, "b-%.*s-%" PRIu64 "-%s", (int)HASH_TYPE_SIZE, record->hashType,
                   record->hashedLength, hex);
  if (n < 0 || (size_t)n >= size) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  return 0;
}

int parseBlockName(const char *text, HashValue *record) {
  if (!text || !record) {
    LOG(0, "Not a valid block format");
    return -1;
  }
  memset(record, 0, sizeof *record);
  std::string copy(text);
  // Split at hyphens; runs of hyphens are one separator.
  std::string parts[4];
  int count = 0;
  size_t pos = 0;
  while (pos < copy.size() && count < 4) {
    while (pos < copy.size() && copy[pos] == '-') pos++;
    if (pos >= copy.size()) break;
    size_t end = copy.find('-', pos);
    if (end == std::string::npos) end = copy.size();
    // The fourth part runs to the end of the text.
    if (count == 3) end = copy.size();
    parts[count++] = copy.substr(pos, end - pos);
    pos = end;
  }
  if (count < 1 || parts[0] != "b") {
    LOG(0, "Not a valid block format");
    return -1;
  }
  if (count < 4) {
    LOG(0, "Not a valid block format: missing part %d", count + 1);
    return -1;
  }
  if (parts[1].size() > HASH_TYPE_SIZE) {
    LOG(0, "Hash type '%s' longer than %zu characters", parts[1].c_str(), HASH_TYPE_SIZE);
    return -1;
  }
  char *end = nullptr;
  errno = 0;
  unsigned long length = strtoul(parts[2].c_str(), &end, 10);
  if (parts[2].empty() || *end != '\0' || errno != 0 || parts[2][0] == '-' || parts[2][0] == '+') {
    LOG(0, "Not a valid block format: bad length '%s'", parts[2].c_str());
    return -1;
  }
  const std::string &hex = parts[3];
  if (hex.size() > 2 * HASH_VALUE_SIZE) {
    LOG(0, "Hash value has %zu hex digits, at most %zu fit", hex.size(), 2 * HASH_VALUE_SIZE);
    return -1;
  }
  uint8_t *bytes = fromHex(hex.c_str());
  if (!bytes) {
    LOG(0, "Not a valid block format: bad hash value");
    return -1;
  }
  memcpy(record->hashType, parts[1].data(), parts[1].size());
  record->hashedLength = length;
  memcpy(record->hashValue, bytes, hex.size() / 2);
  free(bytes);
  record->flags = hashValue_in;
  return 0;
}

char *toHex(const uint8_t *bytes, size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  char *out = (char *)malloc(2 * count + 1);
  if (!out) {
    LOG(0, "Failed to alloc memory for buffer of size:%zd", (ssize_t)(2 * count + 1));
    return nullptr;
  }
  for (size_t i = 0; i < count; i++) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 0xF];
  }
  out[2 * count] = '\0';
  return out;
}

uint8_t *fromHex(const char *text) {
  if (!text) return nullptr;
  size_t len = strlen(text);
  if (len % 2 != 0) return nullptr;
  uint8_t *out = (uint8_t *)malloc(len / 2 + 1);
  if (!out) {
    LOG(0, "failed to malloc memory");
    return nullptr;
  }
  for (size_t i = 0; i < len / 2; i++) {
    int hi = hexDigit(text[2 * i]), lo = hexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      free(out);
      return nullptr;
    }
    out[i] = (uint8_t)(hi << 4 | lo);
  }
  return out;
}

int tupleHash(const HashValue *record, const BlockLocation *location, uint8_t *out, size_t n) {
  if (!record || !location || !out || n == 0) return -1;
  memset(out, 0, n);
  size_t digest = hashDigestLength(record->hashType);
  size_t typeLen = strnlen(record->hashType, HASH_TYPE_SIZE);
  size_t maxBytesLen = digest + 16 + typeLen;
  if (n > maxBytesLen)
    LOG(0, "Warning: asking for more bytes of hash value than exist in input. maxBytesLen:%zd output requested:%zd",
        (ssize_t)maxBytesLen, (ssize_t)n);
  // Input k goes into out[k % n]; k runs over the four parts in order.
  size_t k = 0;
  auto mix = [&](const void *p, size_t len) {
    const uint8_t *b = (const uint8_t *)p;
    for (size_t i = 0; i < len; i++, k++) out[k % n] ^= b[i];
  };
  mix(record->hashValue, digest);
  mix(&location->fileOffset, sizeof location->fileOffset);
  mix(record->hashType, typeLen);
  mix(&record->hashedLength, sizeof record->hashedLength);
  return 0;
}

void dumpHashValue(int level, const HashValue *record) {
  if (!record || debugLevel() < level) return;
  char *hex = toHex(record->hashValue, HASH_VALUE_SIZE);
  char type[HASH_TYPE_SIZE + 1] = {0};
  memcpy(type, record->hashType, HASH_TYPE_SIZE);
  uint8_t f = record->flags;
  LOG(0,
      "struct hashValue:\n\tin values:\n\t\t hashID_in:%d\n\t\t SISoffset_in:%d\n\t\t locationID_in:%d\n"
      "\t\t hashValue_in:%d\n\tout values:\n\t\t hashID_out:%d\n\t\t SISoffset_out:%d\n"
      "\t\t locationID_out:%d\n\t\t hashValue_out:%d\n\tdata:\n\t\t hashID:%lu\n\t\t hashedLength:%lu\n"
      "\t\t SISoffset:%lu\n\t\t locationID:%lu\n\t\t hashType:%s\n\t\t hashValue:%s\n",
      !!(f & hashID_in), !!(f & SISoffset_in), !!(f & locationID_in), !!(f & hashValue_in),
      !!(f & hashID_out), !!(f & SISoffset_out), !!(f & locationID_out), !!(f & hashValue_out),
      (unsigned long)record->hashID, (unsigned long)record->hashedLength,
      (unsigned long)record->SISoffset, (unsigned long)record->locationID, type,
      hex ? hex : "");
  free(hex);
}

// ---- Backup lookups ---------------------------------------------------------

namespace {

// Formats a statement into buf; logs and returns -1 when it does not fit.
template <typename... Args>
int formatQuery(char *buf, size_t size, const char *fmt, Args... args) {
  int n = snprintf(buf, size, fmt, args...);
  if (n < 0 || (size_t)n >= size) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  return 0;
}

// A statement result that counts as failed: none, an error status, or no
// row where one is needed.
bool failedResult(pgResult *r, bool needRow) {
  if (!r || pgStatus(r) != 0) return true;  // pgStatus: 0 = completed
  return needRow && pgTuples(r) < 1;
}

}  // namespace

int checkBackupStatus(uint64_t backupNo, uint64_t *status, uint64_t *properties) {
  long fail = iniGetInt("Replication", "failCheckStatus", 0, g_master_ini);
  if (fail != 0) {
    LOG(0, "failCheckStatus:%d, return FAILED.", (int)fail);
    return -1;
  }
  char q[256];
  if (formatQuery(q, sizeof q, "SELECT status, properties FROM vx.backups WHERE backup_no=%ld",
                  (long)backupNo) < 0)
    return -1;
  PgResultPtr r(pgExec(q));
  if (failedResult(r.get(), true)) {
    LOG(0, "Failed query:%s", q);
    return -1;
  }
  uint64_t s = pgULVal(r.get(), 0, "status");
  uint64_t p = pgULVal(r.get(), 0, "properties");
  if (pgResultError(r.get())) {
    LOG(0, "Failed query:%s", q);
    return -1;
  }
  if (status) *status = s;
  if (properties) *properties = p;
  return 0;
}

long getBackupType(uint64_t backupNo) {
  char q[256];
  if (formatQuery(q, sizeof q, "SELECT type FROM vx.backups WHERE backup_no = %lu",
                  (unsigned long)backupNo) < 0)
    return -1;
  PgResultPtr r(pgExec(q));
  if (failedResult(r.get(), true)) {
    LOG(0, "Failed query\n");
    return -1;
  }
  long type = pgLVal(r.get(), 0, "type");
  if (pgResultError(r.get())) {
    LOG(0, "Failed query\n");
    return -1;
  }
  return type;
}

long getBackupDevice(uint64_t backupNo) {
  char q[512];
  if (formatQuery(q, sizeof q,
                  "SELECT device_no FROM vx.devices WHERE dev_name=(SELECT tape_drive_name FROM "
                  "vx.filesets  WHERE fileset_no=(SELECT fileset_no FROM vx.backups WHERE backup_no=%ld))",
                  (long)backupNo) < 0)
    return -1;
  PgResultPtr r(pgExec(q));
  if (failedResult(r.get(), true)) {
    LOG(0, "Failed query:%s", q);
    return -1;
  }
  long dev = pgLVal(r.get(), 0, "device_no");
  if (pgResultError(r.get())) return -1;
  return dev;
}

uint64_t getBackupMegs(uint64_t backupNo) {
  char q[256];
  if (formatQuery(q, sizeof q, "SELECT total_megs FROM vx.backups WHERE backup_no=%ld",
                  (long)backupNo) < 0)
    return 0;
  PgResultPtr r(pgExec(q));
  if (failedResult(r.get(), false)) {
    LOG(0, "Failed query:%s\n", q);
    return 0;
  }
  if (pgTuples(r.get()) < 1) return 0;
  uint64_t megs = pgULVal(r.get(), 0, "total_megs");
  return pgResultError(r.get()) ? 0 : megs;
}

void backupTypeName(long btype, const char *atype, char *out, size_t size) {
  if (!out || size == 0) return;
  const char *app = (atype && *atype) ? atype : "Generic";
  const char *name = nullptr;
  switch (btype) {
    case 1: name = "Master"; break;
    case 2: name = "Differential"; break;
    case 3: name = "Incremental"; break;
    case 4: name = "SQL"; break;
    case 5: name = "MSExch Full"; break;
    case 6: name = "MSExch Diff"; break;
    case 7: name = "MSExch Incr"; break;
    case 9: name = "MSSQL Full"; break;
    case 10: name = "MSSQL Diff"; break;
    case 11: name = "MSSQL Trans"; break;
    case 12: name = "ESX VM Full"; break;
    case 13: name = "ESX VM Diff"; break;
    case 14: name = "ESX VM Incr"; break;
    case 1024: name = "BareMetal"; break;
    case 1027: name = "LocalDir"; break;
    case 1031: name = "Hyper-V Full"; break;
    case 1032: name = "Hyper-V Diff"; break;
    case 1033: name = "Hyper-V Incr"; break;
    case 1034: name = "Oracle Full"; break;
    case 1035: name = "Oracle Incr"; break;
    case 1036: name = "SharePoint Full"; break;
    case 1037: name = "SharePoint Diff"; break;
    case 1038: name = "System Metadata"; break;
    case 1039: snprintf(out, size, "%s Full", app); return;
    case 4096: snprintf(out, size, "%s Diff", app); return;
    case 4097: snprintf(out, size, "%s Incr", app); return;
    case 4098: name = "NDMP Full"; break;
    case 4099: name = "NDMP Diff"; break;
    case 4100: name = "NDMP Incr"; break;
    default:
      LOG(0, "Error: Unknown type:%ld", btype);
      name = "unknown";
  }
  snprintf(out, size, "%s", name);
}

int getBackupTypeName(uint64_t backupNo, char *out, size_t size) {
  char q[512];
  if (formatQuery(q, sizeof q,
                  "SELECT b.type AS btype, al.type AS atype FROM vx.backups b INNER JOIN "
                  "vx.application_instances ai USING (instance_id) INNER JOIN vx.application_lookup al "
                  "USING (app_id) WHERE backup_no=%ld",
                  (long)backupNo) < 0)
    return -1;
  PgResultPtr r(pgExec(q));
  if (failedResult(r.get(), false) || pgTuples(r.get()) != 1) {
    LOG(0, "Failed to get backup type:%s\n", q);
    return -1;
  }
  long btype = pgLVal(r.get(), 0, "btype");
  const char *atype = pgIsNull(r.get(), 0, "atype") ? nullptr : pgSVal(r.get(), 0, "atype");
  if (pgResultError(r.get())) {
    LOG(0, "Failed to get backup type:%s\n", q);
    return -1;
  }
  backupTypeName(btype, atype, out, size);
  return 0;
}

uint64_t estimateHactarSize(uint64_t backupNo, int mode) {
  char q[512];
  if (formatQuery(q, sizeof q,
                  "SELECT properties, type, total_megs from vx.backups WHERE (backup_no = %lu)",
                  (unsigned long)backupNo) < 0)
    return 0;
  PgResultPtr r(pgExec(q));
  if (failedResult(r.get(), true)) {
    LOG(0, "ERROR: Can't get backup %lu's properties\n", (unsigned long)backupNo);
    return 0;
  }
  uint64_t properties = pgULVal(r.get(), 0, "properties");
  long type = pgLVal(r.get(), 0, "type");
  uint64_t megs = pgULVal(r.get(), 0, "total_megs");
  if (pgResultError(r.get())) {
    LOG(0, "ERROR: Can't get backup %lu's properties\n", (unsigned long)backupNo);
    return 0;
  }
  r.reset();
  // The largest sub-file size is asked for only where it is used: the rule
  // may run the platform's program through the shell, and mode 1 (called
  // at every start of a backup on the target) does not need it.
  auto subfileBytes = [&]() -> uint64_t {
    uint64_t s = maxSubfileBytes((uint32_t)type, properties);
    return s == 0 ? 1 : s;  // the rule never yields 0; guard the division anyway
  };
  uint64_t estimate = 0;
  if (mode == 1) {
    estimate = megs * 1048576ull + 512;
  } else if (classifyBackupType((uint32_t)type, properties) != 0) {
    // Deduplicated per file: one header block per file, small files whole,
    // large files as references of 224 bytes per sub-file.
    long page = sysconf(_SC_PAGESIZE);
    int bound = (int)(2 * page - 511);
    if (formatQuery(q, sizeof q, "SELECT count(*) FROM vx.backup_files WHERE (backup_no = %lu)",
                    (unsigned long)backupNo) < 0)
      return 0;
    r.reset(pgExec(q));
    if (failedResult(r.get(), true)) {
      LOG(0, "ERROR: Can't get count of files for backup_no %lu.\n", (unsigned long)backupNo);
      return 0;
    }
    uint64_t files = pgULVal(r.get(), 0, "count");
    estimate = files * 1024 + 512;
    LOG(6, "on-going estimate (header blocks): %lu.\n", (unsigned long)estimate);
    if (formatQuery(q, sizeof q,
                    "SELECT sum(size) FROM vx.backup_files WHERE (backup_no = %lu and size<%d)",
                    (unsigned long)backupNo, bound) < 0)
      return 0;
    r.reset(pgExec(q));
    if (failedResult(r.get(), true)) {
      LOG(0, "ERROR: Can't get sum (<%d) of small files for backup_no %lu.\n", bound,
          (unsigned long)backupNo);
      return 0;
    }
    if (!pgIsNull(r.get(), 0, "sum")) estimate += pgULVal(r.get(), 0, "sum");
    LOG(6, "on-going estimate (small data files): %lu.\n", (unsigned long)estimate);
    if (formatQuery(q, sizeof q,
                    "SELECT sum(size) FROM vx.backup_files WHERE (backup_no = %lu and size>=%d)",
                    (unsigned long)backupNo, bound) < 0)
      return 0;
    r.reset(pgExec(q));
    if (failedResult(r.get(), true)) {
      LOG(0, "ERROR: Can't get sum of non-small (>=%d) files for backup_no %lu.\n", bound,
          (unsigned long)backupNo);
      return 0;
    }
    uint64_t large = pgIsNull(r.get(), 0, "sum") ? 0 : pgULVal(r.get(), 0, "sum");
    estimate += large / subfileBytes() * 224;
    LOG(6, "final estimate (large data files): %lu.\n", (unsigned long)estimate);
  } else {
    estimate = (megs * 1048576ull + 512) / subfileBytes() * 112;
  }
  if (mode == 1 || mode == 4) LOG(6, "estimate: %lu.\n", (unsigned long)estimate);
  return estimate;
}

int startProgress(const char *target, const char *localHost, ProgressRecord *record,
                  const char *operation, const char *typeName, uint64_t backupNo) {
  if (!record) return -1;
  char q[512];
  if (formatQuery(q, sizeof q,
                  "SELECT CASE WHEN (properties & %d)=0 THEN node_name ELSE gcname END AS "
                  "client_name FROM vx.nodes WHERE node_no=(SELECT node_no FROM vx.backups WHERE "
                  "backup_no=%ld)",
                  32, (long)backupNo) < 0)
    return -1;
  PgResultPtr r(pgExec(q));
  if (failedResult(r.get(), true)) {
    LOG(0, "Error: failed database query:%s", q);
    return -1;
  }
  const char *client = pgIsNull(r.get(), 0, "client_name") ? "" : pgSVal(r.get(), 0, "client_name");
  if (pgResultError(r.get()) || !client) {
    LOG(0, "Error: failed database query:%s", q);
    return -1;
  }
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) {
    LOG(0, "gettimeofday failed");
    return -1;
  }
  *record = ProgressRecord{};
  snprintf(record->name, sizeof record->name, "%s", operation ? operation : "");
  snprintf(record->onBehalfOf, sizeof record->onBehalfOf, "%s", client);
  snprintf(record->source, sizeof record->source, "%s", localHost ? localHost : "");
  snprintf(record->destination, sizeof record->destination, "%s", target ? target : "");
  snprintf(record->backupType, sizeof record->backupType, "%s", typeName ? typeName : "");
  record->backupNo = backupNo;
  record->pid = (int32_t)getpid();
  record->finalSize = getBackupMegs(backupNo) * 1048576ull;
  record->currentSize = 0;
  record->startTime = now.tv_sec;
  r.reset();
  updateProgress(*record);  // progress failures never stop a replication
  return 0;
}
