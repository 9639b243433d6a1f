// replicationQueue.cpp: operations on the replication queue table.
//
// Statements are formatted into fixed-size buffers with snprintf and run
// as complete texts through the catalogue helper (pgExec). Vault names
// are pasted between single quotes as given, so every operation that
// takes one refuses a name outside the vault name rule (lib/validate.h)
// before it builds a statement, and names read back from queue rows are
// checked the same way before they are used again.
#include "queue/replicationQueue.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/validate.h"
#include "queue/groups.h"

char g_replicationQueueTable[64] = "vx.replication_queue";

// True when snprintf's result `n` fitted a buffer of `size` bytes.
static bool fits(int n, size_t size) { return n >= 0 && static_cast<size_t>(n) < size; }

// Runs a complete statement; the result, or null when it failed (the
// helper has logged the server's error).
static pgResult *run(const char *text) {
  pgResult *r = pgExec(text);
  if (r != nullptr && pgStatus(r) != 0) {
    pgClear(r);
    return nullptr;
  }
  return r;
}

// Runs a statement whose only interest is success. 0 / -1.
static int runCommand(const char *text) {
  PgResultPtr r(run(text));
  if (!r) {
    LOG(0, "Failed query\n");
    return -1;
  }
  return 0;
}

int createReplicationQueue() {
  char query[512];
  int n = snprintf(query, sizeof query,
                   "CREATE TABLE %s (backup_no BIGINT REFERENCES vx.backups (backup_no) ON DELETE "
                   "CASCADE, vault TEXT, position SERIAL, status INTEGER)",
                   g_replicationQueueTable);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  LOG(0, "%s", query);
  return runCommand(query);
}

int enqueueBackup(uint64_t backupNo, const char *vault) {
  if (checkVaultName(vault, __func__) != 0) return -1;
  char query[512];
  int ret = 0;

  LOG(3, "Build Query");
  int n = snprintf(query, sizeof query,
                   "UPDATE backups SET sync_status=%d WHERE backup_no=%lu AND sync_status != %d", 1,
                   (unsigned long)backupNo, 1);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  {
    PgResultPtr r(run(query));
    if (!r) {
      LOG(0, "Failed to update sync status of backup #%lu", (unsigned long)backupNo);
      ret = -1;
    }
  }

  n = snprintf(query, sizeof query, "INSERT INTO %s (backup_no, vault, status) VALUES (%lu,'%s',%d)",
               g_replicationQueueTable, (unsigned long)backupNo, vault, REPLICATION_NEEDED);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  LOG(3, "Done Building");
  LOG(3, "%s", query);
  if (runCommand(query) != 0) return -1;
  return ret;
}

// Backup types that stand alone: masters, full backups of the
// applications, bare metal and system metadata backups.
static bool standsAlone(long type) {
  switch (type) {
    case 1: case 5: case 9: case 12: case 1024: case 1031: case 1034: case 1036:
    case 1038: case 1039: case 4098:
      return true;
    default:
      return false;
  }
}

// Queues one member of a group unless it already has an entry that must
// keep its state.
static void enqueueMember(uint64_t member, const char *vault) {
  int status = queueStatus(member, vault);
  if (status == 0) {
    enqueueBackup(member, vault);
  } else if (status > 0 && status != REPLICATION_COMPLETE &&
             (status & REPLICATION_BUSY_OR_PAUSED) == 0) {
    setQueueStatus(member, vault, REPLICATION_NEEDED);
  }
}

int enqueueGroup(uint64_t backupNo, const char *vault) {
  if (checkVaultName(vault, __func__) != 0) return -1;
  char query[128];
  int n = snprintf(query, sizeof query, "SELECT type FROM vx.backups WHERE backup_no = %lu ",
                   (unsigned long)backupNo);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  long type;
  {
    PgResultPtr r(run(query));
    if (!r || pgTuples(r.get()) < 1) {
      LOG(0, "Failed query\n");
      return -1;
    }
    type = pgLVal(r.get(), 0, "type");
  }

  if (standsAlone(type)) {
    if (queueStatus(backupNo, vault) == 0) enqueueBackup(backupNo, vault);
    return 0;
  }

  // The members, in the order they must reach the Vault.
  std::vector<uint64_t> members;
  if (type == 3) {
    LOG(0, "vxGetSynthesisGroup");
    uint32_t *numbers = nullptr;
    uint32_t count = 0;
    if (vxGetSynthesisGroup(backupNo, 0, 0, &numbers, &count, nullptr) != 0) {
      LOG(0, "ERROR:Could not determine synthesis group; Skipping backup %lu",
          (unsigned long)backupNo);
      return -1;
    }
    std::unique_ptr<uint32_t, decltype(&free)> owner(numbers, &free);
    members.assign(numbers, numbers + count);
  } else {
    LOG(0, "vxGetRestoreGroupOptimized");
    RestoreGroupRecord *records = nullptr;
    uint32_t count = 0;
    if (vxGetRestoreGroupOptimized(backupNo, &records, &count) != 0) {
      LOG(0, "ERROR:Could not determine restore group; Skipping backup %lu",
          (unsigned long)backupNo);
      return -1;
    }
    std::unique_ptr<RestoreGroupRecord, decltype(&free)> owner(records, &free);
    for (uint32_t i = 0; i < count; i++) members.push_back(records[i].backupNo);
  }

  LOG(0, "Enqueue Results: count:%d", (int)members.size());
  for (size_t i = 0; i < members.size(); i++) {
    LOG(0, "array[%d] = %d", (int)i, (int)members[i]);
    enqueueMember(members[i], vault);
  }
  return 0;
}

int queueStatus(uint64_t backupNo, const char *vault) {
  if (checkVaultName(vault, __func__) != 0) return -1;
  char query[128];
  int n = snprintf(query, sizeof query, "SELECT status FROM %s WHERE backup_no = %lu AND vault = '%s'",
                   g_replicationQueueTable, (unsigned long)backupNo, vault);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr r(run(query));
  if (!r) {
    LOG(0, "Failed query\n");
    return -1;
  }
  if (pgTuples(r.get()) < 1) return 0;
  return (int)pgLVal(r.get(), 0, "status");
}

int queueStatusAnyVault(uint64_t backupNo) {
  char query[128];
  int n = snprintf(query, sizeof query, "SELECT status FROM vx.replication_queue WHERE backup_no=%lu",
                   (unsigned long)backupNo);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return 0;
  }
  LOG(0, "get status for backup %lu.\n", (unsigned long)backupNo);
  PgResultPtr r(run(query));
  if (!r) {
    LOG(0, "Query to get backup status for %lu failed.\n", (unsigned long)backupNo);
    return 0;
  }
  if (pgTuples(r.get()) != 1) {
    LOG(0, "Failed to get backup status for %lu.\n", (unsigned long)backupNo);
    return 0;
  }
  return (int)pgLVal(r.get(), 0, "status");
}

int setQueueStatus(uint64_t backupNo, const char *vault, unsigned status) {
  if (checkVaultName(vault, __func__) != 0) return -1;
  char query[128];
  int n = snprintf(query, sizeof query, "UPDATE %s SET status = %u WHERE backup_no = %lu AND vault = '%s'",
                   g_replicationQueueTable, status, (unsigned long)backupNo, vault);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  return runCommand(query);
}

// The statement shared by markComplete and markCleanup.
static int markStatus(uint64_t backupNo, const char *vault, int status) {
  if (checkVaultName(vault, status == REPLICATION_COMPLETE ? "markComplete" : "markCleanup") != 0) return -1;
  char query[512];
  int n = snprintf(query, sizeof query, "UPDATE %s SET status = %d WHERE backup_no = %lu AND vault = '%s' ",
                   g_replicationQueueTable, status, (unsigned long)backupNo, vault);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  return runCommand(query);
}

int markComplete(uint64_t backupNo, const char *vault) {
  return markStatus(backupNo, vault, REPLICATION_COMPLETE);
}

int markCleanup(uint64_t backupNo, const char *vault) {
  return markStatus(backupNo, vault, REPLICATION_CLEANUP);
}

int removeEntry(uint64_t backupNo, const char *vault) {
  if (checkVaultName(vault, __func__) != 0) return -1;
  char query[512];
  int n = snprintf(query, sizeof query, "DELETE FROM %s WHERE backup_no = %lu AND vault = '%s' ",
                   g_replicationQueueTable, (unsigned long)backupNo, vault);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  return runCommand(query);
}

int resetActive() {
  char query[128];
  int n = snprintf(query, sizeof query, "UPDATE %s SET status = %d WHERE status = %d ",
                   g_replicationQueueTable, REPLICATION_NEEDED, REPLICATION_ACTIVE);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  return runCommand(query);
}

int swapEntries(uint64_t a, const char *vaultA, uint64_t b, const char *vaultB) {
  if (checkVaultName(vaultA, __func__) != 0 || checkVaultName(vaultB, __func__) != 0) return -1;
  char query[512];
  const char *t = g_replicationQueueTable;
  // Both positions are read by sub-selects before either row changes, so
  // the one statement exchanges them.
  int n = snprintf(query, sizeof query,
                   "UPDATE %s  SET position = CASE backup_no  WHEN %lu THEN  CASE vault  WHEN '%s' "
                   "THEN  (SELECT position FROM %s WHERE backup_no = %lu AND vault = '%s')  ELSE "
                   "position  END  WHEN %lu THEN  CASE vault  WHEN '%s' THEN  (SELECT position FROM "
                   "%s WHERE backup_no = %lu AND vault = '%s')  ELSE position  END  END  WHERE "
                   "backup_no IN (%lu,%lu)",
                   t, (unsigned long)a, vaultA, t, (unsigned long)b, vaultB, (unsigned long)b,
                   vaultB, t, (unsigned long)a, vaultA, (unsigned long)a, (unsigned long)b);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  return runCommand(query);
}

long peekQueue(int offset) {
  char query[128];
  int n = snprintf(query, sizeof query,
                   "SELECT backup_no FROM %s WHERE status = %d ORDER BY position LIMIT 1 OFFSET %d",
                   g_replicationQueueTable, REPLICATION_NEEDED, offset);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr r(run(query));
  if (!r) {
    LOG(0, "Failed query\n");
    return -1;
  }
  if (pgTuples(r.get()) < 1) return 0;
  return pgLVal(r.get(), 0, "backup_no");
}

int listCleanup(uint64_t *backups, char (*vaults)[VAULT_NAME_SIZE], unsigned maximum) {
  char query[128];
  int n = snprintf(query, sizeof query,
                   "SELECT backup_no,vault FROM %s WHERE status = %d ORDER BY position LIMIT %u",
                   g_replicationQueueTable, REPLICATION_CLEANUP, maximum);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr r(run(query));
  if (!r) {
    LOG(0, "Failed query\n");
    return -1;
  }
  long rows = pgTuples(r.get());
  for (long i = 0; i < rows && i < (long)maximum; i++) {
    backups[i] = (uint64_t)pgLLVal(r.get(), (int)i, "backup_no");
    const char *v = pgSVal(r.get(), (int)i, "vault");
    // A name outside the rule is handed on empty, which every operation
    // refuses, rather than cut to a length that might name another vault.
    char source[64];
    snprintf(source, sizeof source, "queue row of backup %lu", (unsigned long)backups[i]);
    if (checkVaultName(v, source) == 0)
      snprintf(vaults[i], VAULT_NAME_SIZE, "%s", v);
    else
      vaults[i][0] = '\0';
  }
  return (int)rows;
}

long takeNext(char *vault, size_t vaultSize) {
  char query[4096];
  int n = snprintf(query, sizeof query,
                   "SELECT q.backup_no,q.vault FROM vx.replication_queue q JOIN vx.backups b ON "
                   "(q.backup_no=b.backup_no) WHERE q.status= %d AND b.tape_no!= %d AND "
                   "b.instance_id NOT IN (SELECT b.instance_id FROM vx.replication_queue q JOIN "
                   "vx.backups b ON (q.backup_no=b.backup_no) WHERE (q.status & %d) != 0) ORDER BY "
                   "position LIMIT 1",
                   REPLICATION_NEEDED, -1, REPLICATION_BUSY_OR_PAUSED);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  long backupNo;
  {
    PgResultPtr r(run(query));
    if (!r) {
      LOG(0, "Failed query:%s\n", query);
      return -1;
    }
    if (pgTuples(r.get()) < 1) return 0;
    const char *v = pgSVal(r.get(), 0, "vault");
    backupNo = pgLVal(r.get(), 0, "backup_no");
    // The row's vault goes into the update below and into Vault URLs.
    char source[64];
    snprintf(source, sizeof source, "queue row of backup %ld", backupNo);
    if (checkVaultName(v, source) != 0) return -1;
    snprintf(vault, vaultSize, "%s", v);
  }

  n = snprintf(query, sizeof query,
               "UPDATE %s SET status = %d, rep_start = %lu WHERE backup_no = %ld AND vault = '%s'",
               g_replicationQueueTable, REPLICATION_ACTIVE, (unsigned long)time(nullptr), backupNo,
               vault);
  if (!fits(n, sizeof query)) {
    LOG(0, "Query too long for buffer");
    return -1;
  }
  PgResultPtr r(run(query));
  if (!r) {
    LOG(0, "Failed query:%s\n", query);
    return -1;
  }
  return backupNo;
}

int repairOutOfOrder(uint64_t backupNo) {
  const unsigned long b = (unsigned long)backupNo;
  char query[512];

  LOG(0, "get start_time and instance_id for backup %lu.\n", b);
  snprintf(query, sizeof query, "SELECT start_time, instance_id FROM vx.backups WHERE backup_no=%lu", b);
  unsigned long startTime, instanceId;
  {
    PgResultPtr r(run(query));
    if (!r) {
      LOG(0, "Query to get backup information for %lu failed.\n", b);
      return -1;
    }
    if (pgTuples(r.get()) != 1) {
      LOG(0, "Failed to get backup information for %lu.\n", b);
      return -1;
    }
    startTime = (unsigned long)pgLLVal(r.get(), 0, "start_time");
    instanceId = (unsigned long)pgLLVal(r.get(), 0, "instance_id");
  }

  LOG(0, "Look for backups with start_time > %lu for instance_id %lu that have replicated successfully.",
      startTime, instanceId);
  snprintf(query, sizeof query,
           "SELECT q.backup_no FROM vx.replication_queue q JOIN vx.backups b ON "
           "(q.backup_no=b.backup_no) WHERE b.instance_id=%lu AND b.start_time>%lu AND q.status = %d",
           instanceId, startTime, REPLICATION_COMPLETE);
  long replicatedNewer;
  {
    PgResultPtr r(run(query));
    if (!r) {
      LOG(0, "Query to find out of order backups on the replication_queue with %lu failed.\n", b);
      return -1;
    }
    replicatedNewer = pgTuples(r.get());
  }

  if (replicatedNewer == 0) {
    LOG(0, "There are no backups on the replication_queue that are out of order with %lu.\n", b);
  } else {
    LOG(0, "Get list of backups on the replication_queue with start_time > %lu for instance_id %lu.",
        startTime, instanceId);
    snprintf(query, sizeof query,
             "SELECT q.backup_no FROM vx.replication_queue q JOIN vx.backups b ON "
             "(q.backup_no=b.backup_no) WHERE b.instance_id=%lu AND b.start_time>%lu",
             instanceId, startTime);
    std::vector<unsigned long> newer;
    {
      PgResultPtr r(run(query));
      if (!r) {
        LOG(0, "Failed query\n");
        return -1;
      }
      for (long i = 0; i < pgTuples(r.get()); i++)
        newer.push_back((unsigned long)pgLLVal(r.get(), (int)i, "backup_no"));
    }
    if (newer.empty()) {
      LOG(0, "There are no out of order backups on the replication_queue with %lu.\n", b);
      return -1;
    }
    LOG(0, "Delete %d backups from the replication_queue that are out of order with %lu.\n",
        (int)newer.size(), b);
    std::vector<unsigned long> deleted;
    for (unsigned long victim : newer) {
      // A backup queued for two vaults is listed twice; its one delete
      // already removed both entries.
      bool seen = false;
      for (unsigned long d : deleted) seen = seen || d == victim;
      if (seen) continue;
      LOG(0, "Delete backup %lu from the replication_queue.\n", victim);
      snprintf(query, sizeof query, "DELETE FROM replication_queue WHERE backup_no=%lu", victim);
      PgResultPtr r(run(query));
      if (!r || pgAffectedRows(r.get()) < 1) {
        LOG(0, "Query to delete backup %lu failed.\n", victim);
        return -1;
      }
      deleted.push_back(victim);
    }
  }

  snprintf(query, sizeof query, "UPDATE vx.replication_queue SET status=%d WHERE backup_no=%lu",
           REPLICATION_NEEDED, b);
  PgResultPtr r(run(query));
  if (!r || pgAffectedRows(r.get()) < 1) {
    LOG(0, "The status for backup %lu was NOT updated in the replication_queue.\n", b);
    return -1;
  }
  LOG(0, "The status for backup %lu was updated in the replication_queue.\n", b);
  return 0;
}
