// identity.cpp: UBI lookups in both directions, identity texts and the
// start-time ordering of an instance's backups.
//
// Statements here name tables without the schema prefix: the replication
// metadata code runs with the session search path "vx,public".
#include "metadata/identity.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <uuid/uuid.h>

#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/validate.h"

namespace {

constexpr long STATUS_UNUSABLE_MASK = 36888;   // 0x9018: failed or otherwise not usable
constexpr long STATUS_OUT_OF_ORDER = 5184;     // 0x1440: written to out-of-order backups
constexpr long PROPERTY_REPLICATED = 16384;    // 0x4000: received by replication
// A logically deleted backup sits on the pseudo tape -1. The catalogue's
// tape_no is a BIGINT, where -1 and its 32-bit image 4294967295 differ, so
// both are excluded wherever deleted backups must not count.
constexpr const char *TAPE_NOT_DELETED = "tape_no != -1 AND tape_no != 4294967295";
constexpr unsigned long GROUP_TYPE_MASK = 5135;  // 0x140F
constexpr int TYPE_SQL = 4;
constexpr int TYPE_BAREMETAL = 1024;

bool queryFailed(pgResult *r) {
  return !r || pgStatus(r) != 0;  // pgStatus: 0 = completed
}

// Parses a decimal number at p (no sign, at least one digit). Returns the
// end, or null.
const char *parseDecimal(const char *p, long *out) {
  if (*p < '0' || *p > '9') return nullptr;
  char *end = nullptr;
  errno = 0;
  long v = strtol(p, &end, 10);
  if (errno != 0 || end == p) return nullptr;
  *out = v;
  return end;
}

}  // namespace

int getUniversalBackupIdentity(uint64_t backupNo, char **identity) {
  if (backupNo == 0 || !identity) {
    LOG(0, "%s: ERROR: Invalid input: backup_no is zero or identityString pointer is NULL.\n", __func__);
    return -1;
  }
  *identity = nullptr;
  char q[512];
  int n = snprintf(q, sizeof q,
                   "SELECT identity, start_time, type FROM backups JOIN application_instances "
                   "USING(instance_id) WHERE backup_no = %ld",
                   (long)backupNo);
  if (n < 0 || (size_t)n >= sizeof q) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr r(pgExec(q));
  if (queryFailed(r.get())) {
    LOG(0, "%s: ERROR: Query to get backup info for backup_no %ld failed.\n", __func__, (long)backupNo);
    return -1;
  }
  if (pgTuples(r.get()) < 1) {
    LOG(0, "%s: ERROR: Backup %ld was not found.\n", __func__, (long)backupNo);
    return -1;
  }
  if (pgIsNull(r.get(), 0, "identity")) {
    LOG(3, "%s: this instance has never replicated.\n", __func__);
    return 0;
  }
  const char *id = pgSVal(r.get(), 0, "identity");
  unsigned long start = pgULVal(r.get(), 0, "start_time");
  unsigned long type = pgULVal(r.get(), 0, "type");
  if (pgResultError(r.get()) || !id) {
    LOG(0, "%s: ERROR: Query to get backup info for backup_no %ld failed.\n", __func__, (long)backupNo);
    return -1;
  }
  // The UBI travels in Vault headers and statements: a stored identity
  // that is not a UUID (written by hand or by an old import) is refused.
  if (!isUUIDString(id)) {
    LOG(0, "%s: ERROR: identity %s of backup_no %ld is not a UUID.\n", __func__, quotedForLog(id).c_str(),
        (long)backupNo);
    return -1;
  }
  int len = snprintf(nullptr, 0, "%s_%lu_%lu", id, start, type);
  char *ubi = (char *)malloc((size_t)len + 1);
  if (!ubi) {
    LOG(0, "%s: Failed to alloc memory", __func__);
    return -1;
  }
  snprintf(ubi, (size_t)len + 1, "%s_%lu_%lu", id, start, type);
  LOG(3, "%s: returning %s for backup_no %ld.\n", __func__, ubi, (long)backupNo);
  *identity = ubi;
  return 0;
}

bool isUUIDString(const char *text) {
  if (!text || strlen(text) != UUID_TEXT_LEN) return false;
  for (size_t i = 0; i < UUID_TEXT_LEN; i++) {
    bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphenPlace ? text[i] != '-' : !isxdigit((unsigned char)text[i])) return false;
  }
  return true;
}

bool isUBIString(const char *text) {
  if (!text || strlen(text) < UUID_TEXT_LEN) return false;
  std::string identity(text, UUID_TEXT_LEN);
  if (!isUUIDString(identity.c_str())) return false;
  const char *p = text + UUID_TEXT_LEN;
  for (int part = 0; part < 2; part++) {
    if (*p++ != '_') return false;
    size_t digits = 0;
    while (*p >= '0' && *p <= '9') p++, digits++;
    if (digits == 0 || digits > UBI_NUMBER_DIGITS) return false;
  }
  return *p == '\0';
}

int genUUID(char *buf, size_t size) {
  if (!buf || size < UUID_TEXT_LEN + 1) {
    LOG(0, "%s: ERROR: Invalid inputs for uuid buffer.\n", __func__);
    return -1;
  }
  uuid_t u;
  uuid_generate(u);
  uuid_unparse_lower(u, buf);
  LOG(5, "%s: returning %s\n", __func__, buf);
  return 0;
}

int UBIstringToBackupNumber(const char *ubi, uint64_t *backupNo) {
  if (!ubi || !backupNo) {
    LOG(0, "%s: ERROR: input pointers can't be NULL.\n", __func__);
    return -1;
  }
  LOG(5, "%s: processing %s\n", __func__, ubi);
  const char *us = strchr(ubi, '_');
  if (!us || (size_t)(us - ubi) >= UUID_TEXT_LEN + 1) {
    LOG(0, "%s: ERROR: Invalid format for intial part of string.\n", __func__);
    return -1;
  }
  std::string identity(ubi, us - ubi);
  if (!isUUIDString(identity.c_str())) {
    LOG(0, "%s: ERROR: not a valid UUID segment.\n", __func__);
    return -1;
  }
  long start = 0, type = 0;
  const char *p = parseDecimal(us + 1, &start);
  if (!p || start == 0 || *p != '_') {
    LOG(0, "%s: ERROR: Invalid format for second part of string.\n", __func__);
    return -1;
  }
  p = parseDecimal(p + 1, &type);
  if (!p || *p != '\0') {
    LOG(0, "%s: ERROR: Invalid format for third part of string.\n", __func__);
    return -1;
  }
  LOG(4, "%s: identity=%s, start_time=%ld, bkup_type=%ld\n", __func__, identity.c_str(), start, type);
  char q[1024];
  int n = snprintf(q, sizeof q,
                   "SELECT backup_no FROM backups JOIN application_instances USING(instance_id) "
                   "WHERE LOWER(identity) = LOWER('%s') AND type = %ld AND start_time = %ld AND "
                   "(properties & %ld) = %ld AND (status & %ld) = 0 AND %s ORDER BY "
                   "backup_no DESC",
                   identity.c_str(), type, start, PROPERTY_REPLICATED, PROPERTY_REPLICATED,
                   STATUS_UNUSABLE_MASK, TAPE_NOT_DELETED);
  if (n < 0 || (size_t)n >= sizeof q) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr r(pgExec(q));
  if (queryFailed(r.get())) {
    LOG(0, "%s: ERROR: Query to get backup_no failed.\n", __func__);
    return -1;
  }
  long rows = pgTuples(r.get());
  if (rows < 1) {
    LOG(3, "%s: No matching backup found.\n", __func__);
    *backupNo = 0;
    return 0;
  }
  long found = pgLVal(r.get(), 0, "backup_no");
  if (pgResultError(r.get())) {
    LOG(0, "%s: ERROR: Query to get backup_no failed.\n", __func__);
    return -1;
  }
  LOG(3, "%s: found %zu backup(s), returning backup_no=%ld.\n", __func__, (size_t)rows, found);
  *backupNo = (uint64_t)found;
  return 0;
}

int enforceGroupOrdering(long instanceId, long startTime, int mark) {
  char q[1024];
  int n = snprintf(q, sizeof q,
                   "SELECT backup_no FROM backups WHERE instance_id = %ld AND start_time > %ld AND "
                   "(status & %ld) = 0 AND %s AND (type & %lu) > 0 AND (type != %d) AND "
                   "(type != %d)",
                   instanceId, startTime, STATUS_UNUSABLE_MASK, TAPE_NOT_DELETED, GROUP_TYPE_MASK,
                   TYPE_BAREMETAL, TYPE_SQL);
  if (n < 0 || (size_t)n >= sizeof q) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr r(pgExec(q));
  if (queryFailed(r.get())) {
    LOG(0, "%s: ERROR: Query to find out of order backups failed.\n", __func__);
    return -1;
  }
  long rows = pgTuples(r.get());
  if (rows < 1) return 0;
  if (mark)
    LOG(0, "%s: Out of order backups detected, marking %zd backups FAILED that are newer than current backup:\n",
        __func__, (ssize_t)rows);
  else
    LOG(0, "%s: ERROR: Out of order backups detected, %zd backups found that are newer than current backup:\n",
        __func__, (ssize_t)rows);

  int notMarked = (int)rows;
  char line[512];
  size_t used = 0;
  line[0] = '\0';
  for (long i = 0; i < rows; i++) {
    long b = pgLVal(r.get(), (int)i, "backup_no");
    if (mark) {
      char u[256];
      snprintf(u, sizeof u, "UPDATE backups SET status = %ld WHERE backup_no = %ld", STATUS_OUT_OF_ORDER, b);
      PgResultPtr ur(pgExec(u));
      if (queryFailed(ur.get())) {
        LOG(0, "%s: Failed to mark backup %ld failed.\n", __func__, b);
        return -1;
      }
      notMarked--;
      snprintf(u, sizeof u,
               "UPDATE backup_msg SET messages = messages || 'Mark backup as failed, out of order.\n' "
               "WHERE backup_no = %ld",
               b);
      PgResultPtr mr(pgExec(u));
      if (queryFailed(mr.get()))
        LOG(0, "%s: Failed to update backup_msg why backup %ld was marked FAILED.\n", __func__, b);
    }
    // Lines of at most 511 characters: "first, second, ..."
    char piece[32];
    int len = snprintf(piece, sizeof piece, used == 0 ? "%ld" : ", %ld", b);
    if (used + (size_t)len >= sizeof line) {
      LOG(0, "%s: %s\n", __func__, line);
      len = snprintf(piece, sizeof piece, "%ld", b);
      used = 0;
    }
    memcpy(line + used, piece, (size_t)len + 1);
    used += (size_t)len;
  }
  if (used > 0) LOG(0, "%s: %s\n", __func__, line);
  if (!mark) return (int)rows;
  if (notMarked > 0)
    LOG(0, "%s: INTERNAL ERROR:  all backups should have been marked failed but num = %d.\n", __func__,
        notMarked);
  return notMarked;
}
